// One emulated calculator served as a single file by the FUSE server: the
// file's reads, writes and fsyncs go through the emulator core, so a loop
// device over the file is a real block device that answers the calculator's
// command protocol. FUSE-free, so the mapping is unit-tested without a mount.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "emulator.h"

namespace norza::emufuse {

class ServedDisk {
 public:
  // diskPath names DIR/NAME.disk (made by `norza-emu plug`); the journal,
  // faults and gone mark are the usual DIR/NAME.* files beside it. With a
  // non-empty timingPath every journal event is also appended there, with a
  // monotonic time stamp in nanoseconds in front. nullptr and *error when the
  // disk or its faults file cannot be used.
  static std::unique_ptr<ServedDisk> Open(const std::string& diskPath,
                                          const std::string& timingPath, std::string* error);

  // The name the file has in the mount: the disk file's own name.
  const std::string& FileName() const { return fileName_; }
  int64_t Size() const { return calculator_->Size(); }

  // One host open of the file; the id goes into the FUSE file handle.
  uint64_t OpenSession();
  void CloseSession(uint64_t id);

  // Bytes transferred, or a negative errno. Reads stop at the end of the
  // disk; a write that does not fit fails with -ENOSPC.
  long Read(uint64_t id, int64_t offset, void* out, std::size_t length);
  long Write(uint64_t id, int64_t offset, const void* data, std::size_t length);
  int Fsync(uint64_t id);

  emu::Calculator& calculator() { return *calculator_; }

 private:
  ServedDisk(std::string fileName, std::shared_ptr<emu::Calculator> calculator);
  emu::Calculator::Session* Find(uint64_t id);

  const std::string fileName_;
  std::shared_ptr<emu::Calculator> calculator_;
  std::mutex mutex_;  // guards sessions_ and nextId_; FUSE may call from several threads
  std::map<uint64_t, std::unique_ptr<emu::Calculator::Session>> sessions_;
  uint64_t nextId_ = 1;
};

// A journal that also writes "<ns> <json>\n" lines with a steady-clock time
// stamp, for measuring the data phase's throughput afterwards.
class TimedJournal : public emu::JournalSink {
 public:
  TimedJournal(std::shared_ptr<emu::JournalSink> inner, const std::string& timingPath);
  ~TimedJournal() override;
  TimedJournal(const TimedJournal&) = delete;
  TimedJournal& operator=(const TimedJournal&) = delete;
  void Record(const emu::JournalEvent& event) override;
  bool ok() const { return file_ != nullptr; }

 private:
  std::shared_ptr<emu::JournalSink> inner_;
  std::mutex mutex_;  // guards file_
  std::FILE* file_;
};

}  // namespace norza::emufuse
