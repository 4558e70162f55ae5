#include "memory_backend.h"

namespace norza::emu {

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
  auto file = std::make_shared<MemoryFile>();
  file->bytes.assign(bytes.begin(), bytes.end());
  file->facts.regular = true;
  file->facts.size = reportedSize >= 0 ? reportedSize : static_cast<int64_t>(bytes.size());
  file->facts.volume = 0xE;
  std::lock_guard<std::mutex> lock(mutex_);
  file->facts.index = nextFileIndex_++;
  files_[path] = std::move(file);
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

std::shared_ptr<const EmulatedBackendBase::MemoryFile> MemoryBackend::FindMemoryFile(
    const std::wstring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = files_.find(path);
  return it == files_.end() ? nullptr : it->second;
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
