// Backends over emulated calculators: the shared handle table, the
// in-memory backend for tests and the directory backend of
// NORZA_EMULATOR_DIR (directory_backend.cpp).
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

// Calculators held in memory, for tests of the link, the worker and the
// dialog (install with platform::SetBackendForTesting). All methods are
// thread-safe.
class MemoryBackend : public EmulatedBackendBase {
 public:
  void ListDiskInterfaces(std::vector<std::wstring>& paths) override;

  // Plugs in a disk (replacing one of the same name), zero-filled.
  void AddCalculator(const std::string& name, int64_t size, const Faults& faults = {},
                     const Identity& identity = {});
  // A disk that is no calculator (a USB stick): command blocks are data to it.
  void AddPlainDisk(const std::string& name, int64_t size, const Identity& identity = {});
  // Lists the disk under this path, as a platform may report it (e.g. in
  // upper case), instead of the one built from its identity.
  void SetInterfacePath(const std::string& name, const std::wstring& path);
  // Image files held in memory, found before the host's files; adding one
  // again makes it another file (a new index). With reportedSize >= 0 its
  // size says that much while it holds its bytes (a file that shrank after
  // it was measured).
  void AddFile(const std::wstring& path, std::vector<uint8_t> bytes, int64_t reportedSize = -1);
  // File reads fail on a thread whose last disk I/O was on this disk: the
  // image reads of its writer thread.
  void FailImageReads(const std::string& name, bool fail);
  // Pulls the cable: gone from discovery, open handles fail from now on.
  bool Remove(const std::string& name);
  // Plugs a removed or vanished calculator back in, with its bytes.
  bool Replug(const std::string& name);

  std::shared_ptr<Calculator> Find(const std::string& name) const;
  std::vector<uint8_t> DiskBytes(const std::string& name, int64_t offset, std::size_t length) const;
  std::vector<JournalEvent> Journal(const std::string& name) const;
  void ClearJournal(const std::string& name);
  std::wstring InterfacePath(const std::string& name) const;
  int DiscoveryPasses() const;
  // Discovery passes that ran while a disk was open.
  int DiscoveryPassesWhileOpen() const;

 protected:
  std::shared_ptr<Calculator> AttachCalculator(const std::wstring& interfacePath,
                                               std::string* error) override;
  void DetachCalculator(const std::shared_ptr<Calculator>& calculator) override;
  std::shared_ptr<const MemoryFile> FindMemoryFile(const std::wstring& path) override;
  bool RefuseFileRead(const Calculator* lastDisk) override;

 private:
  struct Entry {
    Identity identity;
    std::wstring path;  // empty: built from the identity
    std::shared_ptr<Calculator> calculator;
    std::shared_ptr<MemoryJournal> journal;
    bool plugged = true;
    bool failImageReads = false;
  };
  static std::wstring PathOf(const std::string& name, const Entry& entry);

  mutable std::mutex mutex_;              // guards everything below
  std::map<std::string, Entry> entries_;  // sorted by name: the discovery order
  std::map<std::wstring, std::shared_ptr<const MemoryFile>> files_;
  uint64_t nextFileIndex_ = 1;
  int passes_ = 0;
  int passesWhileOpen_ = 0;
  int openDisks_ = 0;
};

}  // namespace norza::emu
