#include "emulator_backend.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace norza::emu {
namespace fs = std::filesystem;
using platform::Handle;
using platform::kInvalidHandle;

std::wstring InterfacePathFor(const Identity& identity, const std::string& name) {
  return platform::BuildUsbDiskInterfacePath(identity.vendor, identity.product, kRevision, name);
}

// ---------------------------------------------------------------------------
// Handle table

namespace {
thread_local std::string t_lastError;
// The calculator the calling thread last read or wrote, for RefuseFileRead.
thread_local const Calculator* t_lastDisk = nullptr;
}  // namespace

struct EmulatedBackendBase::OpenHandle {
  // Set at open, then used only by the one thread that owns the handle.
  std::shared_ptr<Calculator> calculator;
  std::unique_ptr<Calculator::Session> session;
  std::unique_ptr<std::istream> file;
  int64_t size = 0;
  int64_t position = 0;
};

EmulatedBackendBase::EmulatedBackendBase() = default;

EmulatedBackendBase::~EmulatedBackendBase() {
  // Handles left open by a careless caller still close their sessions.
  for (auto& [handle, entry] : handles_) {
    if (entry->calculator) entry->calculator->Close(std::move(entry->session));
  }
}

void EmulatedBackendBase::SetLastError(const std::string& text) { t_lastError = text; }

std::string EmulatedBackendBase::LastErrorText() { return t_lastError; }

platform::ErrorKind EmulatedBackendBase::LastErrorKind() {
  // The emulator's own texts for a calculator that is not there.
  if (t_lastError.empty()) return platform::ErrorKind::None;
  if (t_lastError.find(kPermissionDeniedText) != std::string::npos)
    return platform::ErrorKind::NoAccess;
  if (t_lastError.find("not connected") != std::string::npos ||
      t_lastError.find("no such") != std::string::npos ||
      t_lastError.find("does not exist") != std::string::npos) {
    return platform::ErrorKind::Gone;
  }
  return platform::ErrorKind::Other;
}

int EmulatedBackendBase::OpenHandleCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(handles_.size());
}

std::shared_ptr<EmulatedBackendBase::OpenHandle> EmulatedBackendBase::Find(Handle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) {
    SetLastError("invalid handle");
    return nullptr;
  }
  return it->second;
}

Handle EmulatedBackendBase::OpenDisk(const std::wstring& interfacePath) {
  std::string error = "no such device";
  auto calculator = AttachCalculator(interfacePath, &error);
  if (!calculator) {
    SetLastError(error);
    return kInvalidHandle;
  }
  auto entry = std::make_shared<OpenHandle>();
  entry->calculator = calculator;
  entry->session = calculator->Open();
  entry->size = calculator->Size();
  std::lock_guard<std::mutex> lock(mutex_);
  const Handle handle = next_++;
  handles_.emplace(handle, std::move(entry));
  return handle;
}

std::unique_ptr<std::istream> EmulatedBackendBase::OpenHostFile(const std::wstring& path,
                                                                int64_t* size, std::string* error) {
  const fs::path native = fs::u8path(platform::WideToUtf8(path));
  std::error_code ec;
  if (!fs::is_regular_file(native, ec)) {
    *error = "the file does not exist";
    return nullptr;
  }
  auto file = std::make_unique<std::ifstream>(native, std::ios::binary);
  const auto bytes = fs::file_size(native, ec);
  if (!file->is_open() || ec) {
    *error = "the file cannot be opened";
    return nullptr;
  }
  *size = static_cast<int64_t>(bytes);
  return file;
}

Handle EmulatedBackendBase::OpenFileForReading(const std::wstring& path) {
  auto entry = std::make_shared<OpenHandle>();
  std::string error;
  entry->file = OpenHostFile(path, &entry->size, &error);
  if (!entry->file) {
    SetLastError(error);
    return kInvalidHandle;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const Handle handle = next_++;
  handles_.emplace(handle, std::move(entry));
  return handle;
}

int64_t EmulatedBackendBase::Size(Handle handle) {
  auto entry = Find(handle);
  return entry ? entry->size : -1;
}

int64_t EmulatedBackendBase::Seek(Handle handle, int64_t distance, platform::SeekFrom from) {
  auto entry = Find(handle);
  if (!entry) return -1;
  const int64_t base = from == platform::SeekFrom::Begin ? 0 : entry->position;
  const int64_t target = base + distance;
  if (target < 0) {
    SetLastError("seek before the start");
    return -1;
  }
  entry->position = target;
  if (entry->session) entry->session->NoteSeek(target);
  return target;
}

namespace {

// Unbuffered disk I/O takes whole sectors from aligned buffers; a link that
// breaks this would fail on a real disk, so the emulator fails it too.
bool Aligned(int64_t position, uint32_t length, const void* buffer) {
  return position % static_cast<int64_t>(platform::kSectorSize) == 0 &&
         length % platform::kSectorSize == 0 &&
         reinterpret_cast<std::uintptr_t>(buffer) % platform::kIoAlignment == 0;
}

constexpr const char* kUnalignedText =
    "unaligned transfer: position and length must be whole sectors, the buffer 4096-aligned";

}  // namespace

bool EmulatedBackendBase::Read(Handle handle, void* buffer, uint32_t length, uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto entry = Find(handle);
  if (!entry) return false;
  if (entry->file) {
    std::istream& file = *entry->file;
    if (RefuseFileRead(t_lastDisk)) {
      SetLastError("the file cannot be read");
      return false;
    }
    if (entry->position >= entry->size || length == 0) return true;  // end of file: 0 bytes
    file.clear();
    file.seekg(entry->position);
    file.read(static_cast<char*>(buffer), length);
    const auto got = static_cast<uint32_t>(file.gcount());
    if (file.bad()) {
      SetLastError("the file cannot be read");
      return false;
    }
    entry->position += got;
    if (done != nullptr) *done = got;
    return true;
  }
  t_lastDisk = entry->calculator.get();
  if (!Aligned(entry->position, length, buffer)) {
    SetLastError(kUnalignedText);
    return false;
  }
  std::string error;
  if (!entry->calculator->Read(*entry->session, entry->position, buffer, length, &error)) {
    SetLastError(error);
    return false;
  }
  entry->position += length;
  if (done != nullptr) *done = length;
  return true;
}

bool EmulatedBackendBase::Write(Handle handle, const void* buffer, uint32_t length,
                                uint32_t* done) {
  if (done != nullptr) *done = 0;
  auto entry = Find(handle);
  if (!entry) return false;
  if (entry->file) {
    SetLastError("the file is open for reading only");
    return false;
  }
  t_lastDisk = entry->calculator.get();
  if (!Aligned(entry->position, length, buffer)) {
    SetLastError(kUnalignedText);
    return false;
  }
  std::string error;
  if (!entry->calculator->Write(*entry->session, entry->position, buffer, length, &error)) {
    SetLastError(error);
    return false;
  }
  entry->position += length;
  if (done != nullptr) *done = length;
  return true;
}

bool EmulatedBackendBase::Flush(Handle handle) {
  auto entry = Find(handle);
  if (!entry) return false;
  if (entry->file) return true;
  std::string error;
  if (!entry->calculator->Flush(*entry->session, &error)) {
    SetLastError(error);
    return false;
  }
  return true;
}

void EmulatedBackendBase::Close(Handle handle) {
  std::shared_ptr<OpenHandle> entry;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end()) return;
    entry = std::move(it->second);
    handles_.erase(it);
  }
  if (entry->calculator) {
    entry->calculator->Close(std::move(entry->session));
    DetachCalculator(entry->calculator);
  }
}

// ---------------------------------------------------------------------------
// MemoryBackend

std::wstring MemoryBackend::PathOf(const std::string& name, const Entry& entry) {
  return entry.path.empty() ? InterfacePathFor(entry.identity, name) : entry.path;
}

void MemoryBackend::ListDiskInterfaces(std::vector<std::wstring>& paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++passes_;
  if (openDisks_ > 0) ++passesWhileOpen_;
  for (auto& [name, entry] : entries_) {
    if (!entry.plugged || entry.calculator->Gone()) continue;
    if (entry.calculator->ConsumeHiddenPoll()) continue;
    paths.push_back(PathOf(name, entry));
  }
}

void MemoryBackend::AddCalculator(const std::string& name, int64_t size, const Faults& faults,
                                  const Identity& identity) {
  Entry entry;
  entry.identity = identity;
  entry.journal = std::make_shared<MemoryJournal>();
  entry.calculator =
      std::make_shared<Calculator>(std::make_unique<MemoryStorage>(size), entry.journal, faults);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it != entries_.end()) it->second.calculator->Unplug();  // handles on the old one fail
  entries_[name] = std::move(entry);
}

void MemoryBackend::AddPlainDisk(const std::string& name, int64_t size, const Identity& identity) {
  AddCalculator(name, size, {}, identity);
  Find(name)->SetPlainDisk(true);
}

void MemoryBackend::SetInterfacePath(const std::string& name, const std::wstring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it != entries_.end()) it->second.path = path;
}

void MemoryBackend::AddFile(const std::wstring& path, std::vector<uint8_t> bytes,
                            int64_t reportedSize) {
  std::lock_guard<std::mutex> lock(mutex_);
  files_[path] = File{std::string(bytes.begin(), bytes.end()), reportedSize};
}

void MemoryBackend::FailImageReads(const std::string& name, bool fail) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it != entries_.end()) it->second.failImageReads = fail;
}

bool MemoryBackend::Remove(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return false;
  it->second.plugged = false;
  it->second.calculator->Unplug();
  return true;
}

bool MemoryBackend::Replug(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end()) return false;
  it->second.plugged = true;
  it->second.calculator->Replug();
  return true;
}

std::shared_ptr<Calculator> MemoryBackend::Find(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  return it == entries_.end() ? nullptr : it->second.calculator;
}

std::vector<uint8_t> MemoryBackend::DiskBytes(const std::string& name, int64_t offset,
                                              std::size_t length) const {
  auto calculator = Find(name);
  std::vector<uint8_t> bytes(length);
  if (!calculator || !calculator->Peek(offset, bytes.data(), length)) return {};
  return bytes;
}

std::vector<JournalEvent> MemoryBackend::Journal(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  return it == entries_.end() ? std::vector<JournalEvent>{} : it->second.journal->Events();
}

void MemoryBackend::ClearJournal(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it != entries_.end()) it->second.journal->Clear();
}

std::wstring MemoryBackend::InterfacePath(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  return it == entries_.end() ? std::wstring{} : PathOf(name, it->second);
}

int MemoryBackend::DiscoveryPasses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return passes_;
}

int MemoryBackend::DiscoveryPassesWhileOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return passesWhileOpen_;
}

std::shared_ptr<Calculator> MemoryBackend::AttachCalculator(const std::wstring& interfacePath,
                                                            std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto& [name, entry] : entries_) {
    if (PathOf(name, entry) != interfacePath) continue;
    if (!entry.plugged || entry.calculator->Gone() || entry.calculator->Hidden()) break;
    if (entry.calculator->ConsumeDeniedOpen()) {
      // As a disk the user has no rights to (no udev rule) answers.
      *error = kPermissionDeniedText;
      return nullptr;
    }
    ++openDisks_;
    return entry.calculator;
  }
  *error = "no such device";
  return nullptr;
}

void MemoryBackend::DetachCalculator(const std::shared_ptr<Calculator>& /*calculator*/) {
  std::lock_guard<std::mutex> lock(mutex_);
  --openDisks_;
}

std::unique_ptr<std::istream> MemoryBackend::OpenHostFile(const std::wstring& path, int64_t* size,
                                                          std::string* error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = files_.find(path);
    if (it != files_.end()) {
      const File& file = it->second;
      *size = file.reportedSize >= 0 ? file.reportedSize : static_cast<int64_t>(file.bytes.size());
      return std::make_unique<std::istringstream>(file.bytes, std::ios::binary);
    }
  }
  return EmulatedBackendBase::OpenHostFile(path, size, error);
}

bool MemoryBackend::RefuseFileRead(const Calculator* lastDisk) {
  if (lastDisk == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [name, entry] : entries_) {
    if (entry.calculator.get() == lastDisk) return entry.failImageReads;
  }
  return false;
}

}  // namespace norza::emu
