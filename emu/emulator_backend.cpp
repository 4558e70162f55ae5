#include "emulator_backend.h"

#include <cstring>

namespace norza::emu {
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
  // Set at open, then used only by the one thread that owns the handle (a
  // file may be read with ReadAt by several).
  std::shared_ptr<Calculator> calculator;
  std::unique_ptr<Calculator::Session> session;
  Handle hostFile = kInvalidHandle;              // a host file: the native backend's handle
  std::shared_ptr<const MemoryFile> memoryFile;  // or a file held in memory
  int64_t size = 0;                              // of a disk
  int64_t position = 0;
  bool IsFile() const { return hostFile != kInvalidHandle || memoryFile != nullptr; }
};

EmulatedBackendBase::EmulatedBackendBase() : hostFiles_(platform::CreateNativeBackend()) {}

EmulatedBackendBase::~EmulatedBackendBase() {
  // Handles left open by a careless caller still close their sessions.
  for (auto& [handle, entry] : handles_) {
    if (entry->calculator) entry->calculator->Close(std::move(entry->session));
    if (entry->hostFile != kInvalidHandle) hostFiles_->Close(entry->hostFile);
  }
}

namespace {
thread_local platform::ErrorKind t_lastKind = platform::ErrorKind::None;

// The emulator's own texts for a calculator that is not there.
platform::ErrorKind KindOfText(const std::string& text) {
  if (text.empty()) return platform::ErrorKind::None;
  if (text.find(kPermissionDeniedText) != std::string::npos) return platform::ErrorKind::NoAccess;
  if (text.find("not connected") != std::string::npos ||
      text.find("no such") != std::string::npos ||
      text.find("does not exist") != std::string::npos) {
    return platform::ErrorKind::Gone;
  }
  return platform::ErrorKind::Other;
}
}  // namespace

void EmulatedBackendBase::SetLastError(const std::string& text) {
  t_lastError = text;
  t_lastKind = KindOfText(text);
}

std::string EmulatedBackendBase::LastErrorText() { return t_lastError; }

platform::ErrorKind EmulatedBackendBase::LastErrorKind() { return t_lastKind; }

bool EmulatedBackendBase::HostFileFailed() {
  t_lastError = hostFiles_->LastErrorText();
  t_lastKind = hostFiles_->LastErrorKind();
  return false;
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

Handle EmulatedBackendBase::Keep(std::shared_ptr<OpenHandle> entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Handle handle = next_++;
  handles_.emplace(handle, std::move(entry));
  return handle;
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
  return Keep(std::move(entry));
}

Handle EmulatedBackendBase::OpenFileForReading(const std::wstring& path) {
  auto entry = std::make_shared<OpenHandle>();
  entry->memoryFile = FindMemoryFile(path);
  if (!entry->memoryFile) {
    entry->hostFile = hostFiles_->OpenFileForReading(path);
    if (entry->hostFile == kInvalidHandle) {
      HostFileFailed();
      return kInvalidHandle;
    }
  }
  return Keep(std::move(entry));
}

bool EmulatedBackendBase::DescribeFile(Handle handle, platform::FileFacts* facts) {
  auto entry = Find(handle);
  if (!entry) return false;
  if (!entry->IsFile()) {
    SetLastError("not a file");
    return false;
  }
  if (entry->memoryFile) {
    *facts = entry->memoryFile->facts;
    return true;
  }
  return hostFiles_->DescribeFile(entry->hostFile, facts) || HostFileFailed();
}

bool EmulatedBackendBase::ReadFile(OpenHandle& entry, int64_t offset, void* buffer, uint32_t length,
                                   uint32_t* done) {
  *done = 0;
  if (RefuseFileRead(t_lastDisk)) {
    SetLastError("the file cannot be read");
    return false;
  }
  if (entry.hostFile != kInvalidHandle) {
    return hostFiles_->ReadAt(entry.hostFile, offset, buffer, length, done) || HostFileFailed();
  }
  const std::string& bytes = entry.memoryFile->bytes;
  if (offset < 0) {
    SetLastError("read before the start");
    return false;
  }
  if (static_cast<uint64_t>(offset) >= bytes.size()) return true;  // end of file: 0 bytes
  const std::size_t available = bytes.size() - static_cast<std::size_t>(offset);
  const std::size_t n = length < available ? length : available;
  std::memcpy(buffer, bytes.data() + offset, n);
  *done = static_cast<uint32_t>(n);
  return true;
}

bool EmulatedBackendBase::ReadAt(Handle handle, int64_t offset, void* buffer, uint32_t length,
                                 uint32_t* done) {
  uint32_t got = 0;
  if (done != nullptr) *done = 0;
  auto entry = Find(handle);
  if (!entry) return false;
  if (!entry->IsFile()) {
    SetLastError("not a file");
    return false;
  }
  const bool ok = ReadFile(*entry, offset, buffer, length, &got);
  if (done != nullptr) *done = got;
  return ok;
}

int64_t EmulatedBackendBase::Size(Handle handle) {
  auto entry = Find(handle);
  if (!entry) return -1;
  if (!entry->IsFile()) return entry->size;
  platform::FileFacts facts;
  return DescribeFile(handle, &facts) ? facts.size : -1;
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
  if (entry->IsFile()) {
    uint32_t got = 0;
    const bool ok = ReadFile(*entry, entry->position, buffer, length, &got);
    entry->position += got;
    if (done != nullptr) *done = got;
    return ok;
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
  if (entry->IsFile()) {
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
  if (entry->IsFile()) return true;
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
  if (entry->hostFile != kInvalidHandle) hostFiles_->Close(entry->hostFile);
}

}  // namespace norza::emu
