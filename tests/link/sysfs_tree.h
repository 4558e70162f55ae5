// A fake sysfs and /dev in a temporary directory, laid out like the kernel's
// (block/<name>/device is a relative link into devices/...), for the Linux
// backend's discovery. Removed again on destruction.
#pragma once

#include <string>

namespace norza::linktest {

class SysfsTree {
 public:
  SysfsTree();
  ~SysfsTree();
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  const std::string& root() const { return root_; }
  std::string sys() const { return root_ + "/sys"; }
  std::string dev() const { return root_ + "/dev"; }
  // Points NORZA_SYSFS_ROOT and NORZA_DEV_ROOT here (restored on destruction).
  void Activate();

  // A SCSI disk behind USB device 1-<port>; attributes are written as the
  // kernel pads them (vendor to 8, model to 16 characters). The node is an
  // empty regular file unless nodeTarget names something to link to.
  void AddUsbDisk(const std::string& name, int port, const std::string& vendor,
                  const std::string& model, const std::string& rev, const std::string& serial,
                  const std::string& nodeTarget = "");
  // A SATA disk (never a calculator, whatever it calls itself).
  void AddAtaDisk(const std::string& name, const std::string& vendor, const std::string& model);
  // A block device without a device link (loop, ram, zram).
  void AddVirtualDisk(const std::string& name);

 private:
  void AddDisk(const std::string& name, const std::string& devicePath, const std::string& vendor,
               const std::string& model, const std::string& rev, const std::string& nodeTarget);

  std::string root_;
  int ataDisks_ = 0;
  bool activated_ = false;
  std::string savedSysfs_, savedDev_;
  bool hadSysfs_ = false, hadDev_ = false;
};

}  // namespace norza::linktest
