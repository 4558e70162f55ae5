#include "sysfs_tree.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace norza::linktest {
namespace fs = std::filesystem;
namespace {

void WriteText(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string Padded(const std::string& text, std::size_t width) {
  return text.size() < width ? text + std::string(width - text.size(), ' ') : text;
}

void Save(const char* name, std::string& value, bool& had) {
  const char* current = std::getenv(name);
  had = current != nullptr;
  if (had) value = current;
}

void Restore(const char* name, const std::string& value, bool had) {
  if (had) {
    setenv(name, value.c_str(), 1);
  } else {
    unsetenv(name);
  }
}

}  // namespace

SysfsTree::SysfsTree() {
  std::string pattern = (fs::temp_directory_path() / "norza-sysfs-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  root_ = pattern;
  fs::create_directories(sys() + "/block");
  fs::create_directories(dev());
}

SysfsTree::~SysfsTree() {
  if (activated_) {
    Restore("NORZA_SYSFS_ROOT", savedSysfs_, hadSysfs_);
    Restore("NORZA_DEV_ROOT", savedDev_, hadDev_);
  }
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void SysfsTree::Activate() {
  if (!activated_) {
    Save("NORZA_SYSFS_ROOT", savedSysfs_, hadSysfs_);
    Save("NORZA_DEV_ROOT", savedDev_, hadDev_);
  }
  activated_ = true;
  setenv("NORZA_SYSFS_ROOT", sys().c_str(), 1);
  setenv("NORZA_DEV_ROOT", dev().c_str(), 1);
}

void SysfsTree::AddDisk(const std::string& name, const std::string& devicePath,
                        const std::string& vendor, const std::string& model, const std::string& rev,
                        const std::string& nodeTarget, const Unit& unit) {
  const fs::path device = sys() + "/" + devicePath;
  fs::create_directories(device);
  WriteText(device / "vendor", Padded(vendor, 8) + "\n");
  WriteText(device / "model", Padded(model, 16) + "\n");
  WriteText(device / "rev", Padded(rev, 4) + "\n");
  WriteText(device / "type", std::to_string(unit.scsiType) + "\n");
  // As the kernel has it: devices/.../<unit>/block/<name>, linked from block/.
  const fs::path block = device / "block" / name;
  fs::create_directories(block / "queue");
  WriteText(block / "queue" / "logical_block_size", std::to_string(unit.logicalBlockSize) + "\n");
  fs::create_symlink("../../../" + device.filename().string(), block / "device");
  fs::create_symlink("../" + devicePath + "/block/" + name, sys() + "/block/" + name);
  const fs::path node = dev() + "/" + name;
  if (nodeTarget.empty()) {
    WriteText(node, "");
  } else {
    fs::create_symlink(nodeTarget, node);
  }
}

void SysfsTree::AddUsbDisk(const std::string& name, int port, const std::string& vendor,
                           const std::string& model, const std::string& rev,
                           const std::string& serial, const std::string& nodeTarget,
                           const Unit& unit) {
  const std::string usbDevice = "devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(port);
  fs::create_directories(sys() + "/" + usbDevice);
  WriteText(sys() + "/" + usbDevice + "/idVendor", "1d6b\n");
  if (!serial.empty()) WriteText(sys() + "/" + usbDevice + "/serial", serial + "\n");
  const std::string host = std::to_string(port + 5);
  AddDisk(name,
          usbDevice + "/1-" + std::to_string(port) + ":1.0/host" + host + "/target" + host +
              ":0:0/" + host + ":0:0:" + std::to_string(unit.lun),
          vendor, model, rev, nodeTarget, unit);
}

void SysfsTree::AddAtaDisk(const std::string& name, const std::string& vendor,
                           const std::string& model) {
  const std::string n = std::to_string(ataDisks_++);
  AddDisk(name,
          "devices/pci0000:00/0000:00:1f.2/ata" + n + "/host" + n + "/target" + n + ":0:0/" + n +
              ":0:0:0",
          vendor, model, "1.0", "", Unit());
}

void SysfsTree::AddVirtualDisk(const std::string& name) {
  fs::create_directories(sys() + "/devices/virtual/block/" + name);
  fs::create_symlink("../devices/virtual/block/" + name, sys() + "/block/" + name);
  WriteText(dev() + "/" + name, "");
}

}  // namespace norza::linktest
