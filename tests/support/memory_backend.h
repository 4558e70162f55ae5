// Calculators held in memory: the one test double of the link's backend
// interface, for the tests of the link, the emulator, the worker and the
// dialog. Never linked into a shipped program.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator_backend.h"

namespace norza::emu {

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
