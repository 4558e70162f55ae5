// A loop block device over a file, for tests and benchmarks that need a
// real block device. Detached again on destruction.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace norza::linktest {

class LoopDevice {
 public:
  // sectorSize: the device's logical sector size (0: the default, 512).
  explicit LoopDevice(const std::string& backingFile, int sectorSize = 0) {
    if (::geteuid() != 0) {
      why_ = "needs root for losetup";
      return;
    }
    const std::string sectors =
        sectorSize > 0 ? " --sector-size " + std::to_string(sectorSize) : std::string();
    const std::string command = "losetup --find --show" + sectors + " '" + backingFile + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
      why_ = "cannot run losetup";
      return;
    }
    char line[256] = "";
    const bool got = std::fgets(line, sizeof line, pipe) != nullptr;
    const int status = ::pclose(pipe);
    std::string text = got ? line : "";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    if (status != 0 || text.rfind("/dev/loop", 0) != 0) {
      why_ = "losetup failed: " + text;
      return;
    }
    node_ = text;
  }
  ~LoopDevice() {
    if (!node_.empty()) {
      const std::string command = "losetup -d " + node_;
      if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "cannot detach %s\n", node_.c_str());
    }
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  bool ok() const { return !node_.empty(); }
  const std::string& node() const { return node_; }
  const std::string& why() const { return why_; }

 private:
  std::string node_;
  std::string why_;
};

}  // namespace norza::linktest
