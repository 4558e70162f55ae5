// An in-memory stand-in for the machine: disks (calculators or not) and image
// files, with hooks for failures, and a log of what the link did to each disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform.h"

namespace norza::linktest {

struct FakeDisk {
  std::wstring path;
  bool calculator = true;  // answers command blocks at the command window
  bool failOpen = false;
  int failDataWrites = 0;       // the next N writes outside the window fail
  int wrongReplies = 0;         // the next N replies carry a wrong code
  uint32_t sizeReplyDelta = 0;  // added to the value CMD_CHECK_SIZE replies with
  bool failImageReads = false;  // image reads by this disk's writer thread fail
  std::vector<uint8_t> bytes;   // grows on write
  // "window 15360", "cmd bedc 42", "write 65536 16384", "flush"
  std::vector<std::string> events;
  std::vector<uint8_t> lastBlock;   // the last command block as written
  std::vector<uint32_t> parameters;  // of every command, in order
};

struct FakeFile {
  std::vector<uint8_t> bytes;
  int64_t reportedSize = -1;  // >= 0: Size() lies (the file "shrank" later)
};

// Thread-safe; enforces what unbuffered I/O demands (4096-aligned buffers,
// whole sectors at sector offsets) and fails I/O that breaks it.
class FakeBackend : public platform::Backend {
 public:
  FakeBackend();
  ~FakeBackend() override;

  // Set up and inspect only while no link call runs.
  FakeDisk& AddDisk(const std::wstring& path, bool calculator = true);
  FakeDisk& Disk(std::size_t index) { return disks_.at(index); }
  void AddFile(const std::wstring& path, std::vector<uint8_t> bytes, int64_t reportedSize = -1);
  int passes() const { return passes_.load(); }
  int openHandles() const;
  // Discovery passes that ran while a disk was open (they must never overlap).
  int overlaps() const { return overlaps_.load(); }

  void ListDiskInterfaces(std::vector<std::wstring>& paths) override;
  platform::Handle OpenDisk(const std::wstring& interfacePath) override;
  platform::Handle OpenFileForReading(const std::wstring& path) override;
  int64_t Size(platform::Handle handle) override;
  int64_t Seek(platform::Handle handle, int64_t distance, platform::SeekFrom from) override;
  bool Read(platform::Handle handle, void* buffer, uint32_t length, uint32_t* done) override;
  bool Write(platform::Handle handle, const void* buffer, uint32_t length, uint32_t* done) override;
  bool Flush(platform::Handle handle) override;
  void Close(platform::Handle handle) override;
  std::string LastErrorText() override;

 private:
  struct Open {
    int disk = -1;  // index in disks_, or -1 for a file
    std::wstring file;
    int64_t position = 0;
  };
  bool DiskIoAllowed(const Open& open, const void* buffer, uint32_t length) const;
  void Answer(FakeDisk& disk);

  mutable std::mutex mutex_;  // guards everything below; the link calls in from many threads
  std::deque<FakeDisk> disks_;  // a deque keeps references stable
  std::map<std::wstring, FakeFile> files_;
  std::map<platform::Handle, Open> handles_;
  platform::Handle next_ = 100;
  int openDisks_ = 0;
  std::atomic<int> passes_{0};
  std::atomic<int> overlaps_{0};
};

// Records the link's pauses and callbacks (process-wide, thread-safe).
struct Recorder {
  static void Reset();
  static void OnPause(int milliseconds);
  static void OnProgress(int32_t percent);
  static void OnMessage(const wchar_t* text);
  static std::vector<int> Pauses();
  static std::vector<int32_t> Progress();
  static std::vector<std::wstring> Messages();
};

}  // namespace norza::linktest
