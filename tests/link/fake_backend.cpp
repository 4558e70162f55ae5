#include "fake_backend.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "protocol.h"

namespace norza::linktest {
namespace {

using link::COMMAND_WINDOW_OFFSET;
using platform::kSectorSize;

thread_local int t_lastDisk = -1;  // the disk the calling writer thread works on
thread_local std::string t_lastError;

uint32_t Le32(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

void PutLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", value);
  return text;
}

std::mutex g_recordMutex;
std::vector<int> g_pauses;
std::vector<int32_t> g_progress;
std::vector<std::wstring> g_messages;

}  // namespace

FakeBackend::FakeBackend() = default;
FakeBackend::~FakeBackend() = default;

FakeDisk& FakeBackend::AddDisk(const std::wstring& path, bool calculator) {
  FakeDisk& disk = disks_.emplace_back();
  disk.path = path;
  disk.calculator = calculator;
  return disk;
}

void FakeBackend::AddFile(const std::wstring& path, std::vector<uint8_t> bytes,
                          int64_t reportedSize) {
  files_[path] = FakeFile{std::move(bytes), reportedSize};
}

int FakeBackend::openHandles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(handles_.size());
}

void FakeBackend::ListDiskInterfaces(std::vector<std::wstring>& paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++passes_;
  if (openDisks_ > 0) ++overlaps_;
  for (const FakeDisk& disk : disks_) paths.push_back(disk.path);
}

platform::Handle FakeBackend::OpenDisk(const std::wstring& interfacePath) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < disks_.size(); ++i) {
    if (disks_[i].path != interfacePath) continue;
    if (disks_[i].failOpen) break;
    handles_[next_] = Open{static_cast<int>(i), {}, 0};
    ++openDisks_;
    return next_++;
  }
  t_lastError = "fake: no such disk";
  return platform::kInvalidHandle;
}

platform::Handle FakeBackend::OpenFileForReading(const std::wstring& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (files_.count(path) == 0) return platform::kInvalidHandle;
  handles_[next_] = Open{-1, path, 0};
  return next_++;
}

int64_t FakeBackend::Size(platform::Handle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return -1;
  if (it->second.disk >= 0) return static_cast<int64_t>(disks_[it->second.disk].bytes.size());
  const FakeFile& file = files_.at(it->second.file);
  return file.reportedSize >= 0 ? file.reportedSize : static_cast<int64_t>(file.bytes.size());
}

int64_t FakeBackend::Seek(platform::Handle handle, int64_t distance, platform::SeekFrom from) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return -1;
  const int64_t position = from == platform::SeekFrom::Begin ? distance : it->second.position + distance;
  if (position < 0) return -1;
  return it->second.position = position;
}

bool FakeBackend::DiskIoAllowed(const Open& open, const void* buffer, uint32_t length) const {
  return reinterpret_cast<std::uintptr_t>(buffer) % platform::kIoAlignment == 0 &&
         length % kSectorSize == 0 && open.position % static_cast<int64_t>(kSectorSize) == 0;
}

bool FakeBackend::Read(platform::Handle handle, void* buffer, uint32_t length, uint32_t* done) {
  std::lock_guard<std::mutex> lock(mutex_);
  *done = 0;
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return false;
  Open& open = it->second;
  const std::vector<uint8_t>* bytes = nullptr;
  if (open.disk >= 0) {
    t_lastDisk = open.disk;
    FakeDisk& disk = disks_[open.disk];
    if (!DiskIoAllowed(open, buffer, length)) return false;
    if (open.position == COMMAND_WINDOW_OFFSET && length > kSectorSize) {
      disk.events.push_back("window " + std::to_string(length));
    }
    bytes = &disk.bytes;
  } else {
    if (t_lastDisk >= 0 && disks_[t_lastDisk].failImageReads) return false;
    bytes = &files_.at(open.file).bytes;
  }
  const int64_t available = std::max<int64_t>(0, static_cast<int64_t>(bytes->size()) - open.position);
  *done = static_cast<uint32_t>(std::min<int64_t>(available, length));
  if (*done > 0) std::memcpy(buffer, bytes->data() + open.position, *done);
  open.position += *done;
  return true;
}

void FakeBackend::Answer(FakeDisk& disk) {
  uint8_t* block = disk.bytes.data() + COMMAND_WINDOW_OFFSET;
  if (Le32(block) != link::kCommandMagic || Le32(block + 4) != link::kCommandSignature) return;
  const uint32_t code = Le32(block + 12);
  const uint32_t parameter = Le32(block + 16);
  disk.lastBlock.assign(block, block + link::kCommandBlockSize);
  disk.parameters.push_back(parameter);
  disk.events.push_back("cmd " + Hex(code) + " " + std::to_string(parameter));
  if (!disk.calculator) return;
  uint32_t replyCode = link::kReplyAccepted | code;
  if (disk.wrongReplies > 0) {
    --disk.wrongReplies;
    replyCode = 0x80000000;
  }
  PutLe32(block + 12, replyCode);
  PutLe32(block + 16, code == link::CMD_CHECK_SIZE ? parameter + disk.sizeReplyDelta : parameter);
}

bool FakeBackend::Write(platform::Handle handle, const void* buffer, uint32_t length,
                        uint32_t* done) {
  std::lock_guard<std::mutex> lock(mutex_);
  *done = 0;
  const auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.disk < 0) return false;
  Open& open = it->second;
  t_lastDisk = open.disk;
  FakeDisk& disk = disks_[open.disk];
  if (!DiskIoAllowed(open, buffer, length)) {
    t_lastError = "fake: unaligned transfer";
    return false;
  }
  const bool window = open.position == COMMAND_WINDOW_OFFSET;
  if (!window) {
    if (disk.failDataWrites > 0) {
      --disk.failDataWrites;
      t_lastError = "fake: write refused";
      disk.events.push_back("write-failed");
      return false;
    }
    disk.events.push_back("write " + std::to_string(open.position) + " " + std::to_string(length));
  }
  const auto end = static_cast<std::size_t>(open.position) + length;
  if (disk.bytes.size() < end) disk.bytes.resize(end);
  std::memcpy(disk.bytes.data() + open.position, buffer, length);
  open.position += length;
  *done = length;
  if (window) Answer(disk);
  return true;
}

bool FakeBackend::Flush(platform::Handle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.disk < 0) return false;
  disks_[it->second.disk].events.push_back("flush");
  return true;
}

void FakeBackend::Close(platform::Handle handle) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = handles_.find(handle);
  if (it == handles_.end()) return;
  if (it->second.disk >= 0) --openDisks_;
  handles_.erase(it);
}

std::string FakeBackend::LastErrorText() { return t_lastError; }

void Recorder::Reset() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_pauses.clear();
  g_progress.clear();
  g_messages.clear();
}
void Recorder::OnPause(int milliseconds) {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_pauses.push_back(milliseconds);
}
void Recorder::OnProgress(int32_t percent) {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_progress.push_back(percent);
}
void Recorder::OnMessage(const wchar_t* text) {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  g_messages.emplace_back(text);
}
std::vector<int> Recorder::Pauses() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  return g_pauses;
}
std::vector<int32_t> Recorder::Progress() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  return g_progress;
}
std::vector<std::wstring> Recorder::Messages() {
  std::lock_guard<std::mutex> lock(g_recordMutex);
  return g_messages;
}

}  // namespace norza::linktest
