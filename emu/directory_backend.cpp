// The emulated calculators of NORZA_EMULATOR_DIR: every <name>.disk in the
// directory is one calculator in update mode. The directory is looked at on
// every discovery pass, so disks come and go while the updater runs.
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "emulator_backend.h"
#include "platform.h"
#include "seams.h"

namespace norza::emu {
namespace {

namespace fs = std::filesystem;
using platform::Utf8ToWide;

class DirectoryBackend : public EmulatedBackendBase {
 public:
  explicit DirectoryBackend(std::string directory) : directory_(std::move(directory)) {}

  void ListDiskInterfaces(std::vector<std::wstring>& paths) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : ListDiskNames(directory_)) {
      const DiskFiles files = FilesOf(directory_, name);
      std::error_code ec;
      if (fs::exists(fs::u8path(files.gone), ec) && !ReturnDue(name, files)) continue;
      auto live = live_.find(name);
      if (live != live_.end()) {
        if (live->second.calculator->Gone() || live->second.calculator->ConsumeHiddenPoll())
          continue;
      } else {
        Faults faults;
        // A bad faults file shows the disk; opening it then reports the file.
        if (ReadFaultsFile(files.faults, &faults, nullptr) && ConsumeHiddenPoll(faults)) {
          WriteFaultsFile(files.faults, faults, nullptr);
          FileJournal(files.journal).Record(JournalEvent::Fault("hidden"));
          continue;
        }
      }
      paths.push_back(InterfacePathFor(ReadIdentityFile(files.identity), name));
    }
  }

  std::string CalculatorSource() override { return "emulated calculators in " + directory_; }

  // The port as the identity file gives it, the serial as the name.
  platform::DiskIdentity DescribeDisk(const std::wstring& interfacePath) override {
    platform::DiskIdentity identity = Backend::DescribeDisk(interfacePath);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : ListDiskNames(directory_)) {
      const Identity described = ReadIdentityFile(FilesOf(directory_, name).identity);
      if (InterfacePathFor(described, name) == interfacePath) identity.port = described.port;
    }
    return identity;
  }

  // The disk file stands for the device node.
  std::wstring DeviceNodeOf(const std::wstring& interfacePath) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : ListDiskNames(directory_)) {
      const DiskFiles files = FilesOf(directory_, name);
      if (InterfacePathFor(ReadIdentityFile(files.identity), name) == interfacePath) {
        return Utf8ToWide(files.disk);
      }
    }
    return {};
  }

 protected:
  std::shared_ptr<Calculator> AttachCalculator(const std::wstring& interfacePath,
                                               std::string* error) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& name : ListDiskNames(directory_)) {
      const DiskFiles files = FilesOf(directory_, name);
      if (InterfacePathFor(ReadIdentityFile(files.identity), name) != interfacePath) continue;
      std::error_code ec;
      if (fs::exists(fs::u8path(files.gone), ec)) break;
      auto live = live_.find(name);
      if (live != live_.end()) {
        if (live->second.calculator->Gone() || live->second.calculator->Hidden()) break;
        ++live->second.handles;
        return live->second.calculator;
      }
      Faults faults;
      if (!ReadFaultsFile(files.faults, &faults, error)) return nullptr;
      if (faults.appearAfterPolls > 0) break;
      if (ConsumeDeniedOpen(faults)) {
        // As a disk the user has no rights to (no udev rule) answers.
        WriteFaultsFile(files.faults, faults, nullptr);
        FileJournal(files.journal).Record(JournalEvent::Fault("deny-open"));
        *error = kPermissionDeniedText;
        return nullptr;
      }
      auto storage = FileStorage::Open(files.disk);
      if (!storage) {
        *error = "cannot open " + files.disk;
        return nullptr;
      }
      Calculator::Hooks hooks;
      // Spent faults must not come back when the disk is opened again, also
      // by another process: what remains goes back to the file at once.
      hooks.faultsChanged = [path = files.faults](const Faults& remaining) {
        WriteFaultsFile(path, remaining, nullptr);
      };
      hooks.vanished = [path = files.gone] { WriteFileAtomically(path, "gone\n", nullptr); };
      auto calculator = std::make_shared<Calculator>(std::move(storage),
                                                     std::make_shared<FileJournal>(files.journal),
                                                     faults, std::move(hooks));
      live_[name] = Live{calculator, 1};
      return calculator;
    }
    *error = "no such device";
    return nullptr;
  }

  void DetachCalculator(const std::shared_ptr<Calculator>& calculator) override {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = live_.begin(); it != live_.end(); ++it) {
      if (it->second.calculator != calculator) continue;
      if (--it->second.handles == 0) live_.erase(it);
      return;
    }
  }

 private:
  // A vanished disk with return-after-polls: one pass consumed; true when it
  // is back, its gone mark removed. Handles still open on the vanished object
  // stay dead (as on a real replug); the next open starts from the file.
  bool ReturnDue(const std::string& name, const DiskFiles& files) {
    Faults faults;
    if (!ReadFaultsFile(files.faults, &faults, nullptr) || !faults.returnAfterPolls) {
      return false;
    }
    const bool back = ConsumeReturnPoll(faults);
    const bool blank = back && faults.returnBlank != 0;
    if (blank) faults.returnBlank = 0;
    WriteFaultsFile(files.faults, faults, nullptr);
    if (!back) return false;
    std::error_code ec;
    if (blank) {
      // Another calculator under the same path: nothing of the update on it.
      const auto size = fs::file_size(fs::u8path(files.disk), ec);
      if (!ec) fs::resize_file(fs::u8path(files.disk), 0, ec);
      if (!ec) fs::resize_file(fs::u8path(files.disk), size, ec);
    }
    fs::remove(fs::u8path(files.gone), ec);
    live_.erase(name);
    FileJournal(files.journal).Record(JournalEvent::Fault(blank ? "return-blank" : "return"));
    return true;
  }

  struct Live {
    std::shared_ptr<Calculator> calculator;
    int handles = 0;
  };

  const std::string directory_;
  std::mutex mutex_;  // guards live_ and serializes passes over the directory
  // Calculators with open handles share one object, so their faults and
  // journal stay consistent; the last Close drops it.
  std::map<std::string, Live> live_;
};

}  // namespace

std::unique_ptr<platform::Backend> CreateDirectoryBackend(const std::string& directory) {
  return std::make_unique<DirectoryBackend>(directory);
}

bool UseEmulatedCalculatorsIfConfigured() {
  const char* directory = SeamVariable("NORZA_EMULATOR_DIR");
  if (directory == nullptr) return false;
  platform::InstallBackend(CreateDirectoryBackend(directory));
  return true;
}

}  // namespace norza::emu
