// Backends over emulated calculators: the shared handle table and the
// directory backend of NORZA_EMULATOR_DIR (directory_backend.cpp). The
// in-memory backend of the tests builds on the same table
// (tests/support/memory_backend.h).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator.h"
#include "emulator_dir.h"
#include "platform.h"

namespace norza::emu {

std::wstring InterfacePathFor(const Identity& identity, const std::string& name);

// What an open refused by deny-opens says, as a disk without the rights to it.
inline constexpr const char kPermissionDeniedText[] = "Permission denied";

// Every <name>.disk in directory is one calculator in update mode.
std::unique_ptr<platform::Backend> CreateDirectoryBackend(const std::string& directory);

// With NORZA_EMULATOR_DIR set and not empty, installs the directory backend
// over it as the process's backend (platform::InstallBackend) and says true;
// otherwise the native backend stays. Call first thing in main.
bool UseEmulatedCalculatorsIfConfigured();

// The handle table both emulated backends share: disks are sessions on
// calculators, files are host files opened for reading.
class EmulatedBackendBase : public platform::Backend {
 public:
  EmulatedBackendBase();
  ~EmulatedBackendBase() override;

  platform::Handle OpenDisk(const std::wstring& interfacePath) final;
  // Host files are opened, described and read by the native backend, as a
  // real updater would: a FIFO, a device or a file that changes size shows
  // here as it would there.
  platform::Handle OpenFileForReading(const std::wstring& path) final;
  bool DescribeFile(platform::Handle handle, platform::FileFacts* facts) final;
  bool ReadAt(platform::Handle handle, int64_t offset, void* buffer, uint32_t length,
              uint32_t* done) final;
  int64_t Size(platform::Handle handle) final;
  int64_t Seek(platform::Handle handle, int64_t distance, platform::SeekFrom from) final;
  bool Read(platform::Handle handle, void* buffer, uint32_t length, uint32_t* done) final;
  bool Write(platform::Handle handle, const void* buffer, uint32_t length, uint32_t* done) final;
  bool Flush(platform::Handle handle) final;
  void Close(platform::Handle handle) final;
  std::string LastErrorText() final;
  platform::ErrorKind LastErrorKind() final;

  // Handles not yet closed (tests check that the link closes what it opens).
  int OpenHandleCount() const;

 protected:
  // The calculator behind an interface path, or nullptr (and *error).
  virtual std::shared_ptr<Calculator> AttachCalculator(const std::wstring& interfacePath,
                                                       std::string* error) = 0;
  // A handle on a calculator was closed.
  virtual void DetachCalculator(const std::shared_ptr<Calculator>& /*calculator*/) {}
  // A file held in memory instead of the host's file of that name.
  struct MemoryFile {
    std::string bytes;
    platform::FileFacts facts;
  };
  // The memory file for OpenFileForReading, or nullptr for the host's file.
  virtual std::shared_ptr<const MemoryFile> FindMemoryFile(const std::wstring& /*path*/) {
    return nullptr;
  }
  // True when a file read fails on a thread whose last disk I/O was on
  // lastDisk (nullptr: none yet).
  virtual bool RefuseFileRead(const Calculator* /*lastDisk*/) { return false; }

  static void SetLastError(const std::string& text);

 private:
  struct OpenHandle;
  std::shared_ptr<OpenHandle> Find(platform::Handle handle);
  platform::Handle Keep(std::shared_ptr<OpenHandle> entry);
  bool ReadFile(OpenHandle& entry, int64_t offset, void* buffer, uint32_t length, uint32_t* done);
  bool HostFileFailed();

  const std::unique_ptr<platform::Backend> hostFiles_;

  mutable std::mutex mutex_;  // guards handles_ and next_; an entry belongs to its caller's thread
  std::map<platform::Handle, std::shared_ptr<OpenHandle>> handles_;
  platform::Handle next_ = 0x100;
};

}  // namespace norza::emu
