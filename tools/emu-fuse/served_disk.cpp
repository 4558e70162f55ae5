#include "served_disk.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>

#include "emulator_dir.h"

namespace norza::emufuse {
namespace fs = std::filesystem;

std::unique_ptr<ServedDisk> ServedDisk::Open(const std::string& diskPath,
                                             const std::string& timingPath, std::string* error) {
  const fs::path path = fs::u8path(diskPath);
  if (path.extension() != ".disk") {
    *error = "not a NAME.disk file: " + diskPath;
    return nullptr;
  }
  const std::string directory = path.parent_path().empty() ? "." : path.parent_path().u8string();
  const std::string name = path.stem().u8string();
  const emu::DiskFiles files = emu::FilesOf(directory, name);

  emu::Faults faults;
  if (!emu::ReadFaultsFile(files.faults, &faults, error)) return nullptr;
  auto storage = emu::FileStorage::Open(files.disk);
  if (!storage) {
    *error = "cannot open " + files.disk;
    return nullptr;
  }
  std::shared_ptr<emu::JournalSink> journal = std::make_shared<emu::FileJournal>(files.journal);
  if (!timingPath.empty()) {
    auto timed = std::make_shared<TimedJournal>(journal, timingPath);
    if (!timed->ok()) {
      *error = "cannot write " + timingPath;
      return nullptr;
    }
    journal = timed;
  }
  // Same bookkeeping as the directory backend, so norza-emu sees spent
  // faults and a vanished calculator the same way.
  emu::Calculator::Hooks hooks;
  hooks.faultsChanged = [faultsPath = files.faults](const emu::Faults& remaining) {
    emu::WriteFaultsFile(faultsPath, remaining, nullptr);
  };
  hooks.vanished = [gonePath = files.gone] {
    emu::WriteFileAtomically(gonePath, "gone\n", nullptr);
  };
  auto calculator =
      std::make_shared<emu::Calculator>(std::move(storage), journal, faults, std::move(hooks));
  return std::unique_ptr<ServedDisk>(new ServedDisk(path.filename().u8string(), calculator));
}

ServedDisk::ServedDisk(std::string fileName, std::shared_ptr<emu::Calculator> calculator)
    : fileName_(std::move(fileName)), calculator_(std::move(calculator)) {}

uint64_t ServedDisk::OpenSession() {
  auto session = calculator_->Open();
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t id = nextId_++;
  sessions_[id] = std::move(session);
  return id;
}

void ServedDisk::CloseSession(uint64_t id) {
  std::unique_ptr<emu::Calculator::Session> session;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end()) return;
    session = std::move(it->second);
    sessions_.erase(it);
  }
  calculator_->Close(std::move(session));
}

// A session is used by the one FUSE request that carries its handle; the map
// node stays put until CloseSession, which the kernel sends last.
emu::Calculator::Session* ServedDisk::Find(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = sessions_.find(id);
  return it == sessions_.end() ? nullptr : it->second.get();
}

long ServedDisk::Read(uint64_t id, int64_t offset, void* out, std::size_t length) {
  emu::Calculator::Session* session = Find(id);
  if (session == nullptr) return -EBADF;
  const int64_t size = calculator_->Size();
  if (offset < 0) return -EINVAL;
  if (offset >= size || length == 0) return 0;
  const std::size_t n =
      static_cast<std::size_t>(std::min<int64_t>(static_cast<int64_t>(length), size - offset));
  // A block device has no seek: every transfer outside the command window
  // stands for the host's last positioning.
  session->NoteSeek(offset);
  if (!calculator_->Read(*session, offset, out, n)) return -EIO;
  return static_cast<long>(n);
}

long ServedDisk::Write(uint64_t id, int64_t offset, const void* data, std::size_t length) {
  emu::Calculator::Session* session = Find(id);
  if (session == nullptr) return -EBADF;
  if (offset < 0) return -EINVAL;
  if (length == 0) return 0;
  if (static_cast<uint64_t>(offset) + length > static_cast<uint64_t>(calculator_->Size())) {
    return -ENOSPC;
  }
  session->NoteSeek(offset);
  if (!calculator_->Write(*session, offset, data, length)) return -EIO;
  return static_cast<long>(length);
}

int ServedDisk::Fsync(uint64_t id) {
  emu::Calculator::Session* session = Find(id);
  if (session == nullptr) return -EBADF;
  return calculator_->Flush(*session) ? 0 : -EIO;
}

TimedJournal::TimedJournal(std::shared_ptr<emu::JournalSink> inner, const std::string& timingPath)
    : inner_(std::move(inner)), file_(std::fopen(timingPath.c_str(), "ae")) {}

TimedJournal::~TimedJournal() {
  if (file_ != nullptr) std::fclose(file_);
}

void TimedJournal::Record(const emu::JournalEvent& event) {
  inner_->Record(event);
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  const long long ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  std::fprintf(file_, "%lld %s\n", ns, emu::ToJsonLine(event).c_str());
  std::fflush(file_);
}

}  // namespace norza::emufuse
