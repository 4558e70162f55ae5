// A fake sysfs and /dev in a temporary directory, laid out like the kernel's:
// block/<name> is a relative link to devices/.../<scsi device>/block/<name>,
// whose device link points back up to the SCSI device, which carries vendor,
// model, rev and type; queue/logical_block_size sits beside the device link.
// For the Linux backend's discovery. Removed again on destruction.
#pragma once

#include <string>

namespace norza::linktest {

// What else a SCSI unit may be: its peripheral type (0 disk, 5 CD-ROM), its
// logical unit number and its logical sector size.
struct SysfsUnit {
  int scsiType = 0;
  int lun = 0;
  int logicalBlockSize = 512;
};

class SysfsTree {
 public:
  using Unit = SysfsUnit;
  SysfsTree();
  ~SysfsTree();
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  const std::string& root() const { return root_; }
  std::string sys() const { return root_ + "/sys"; }
  std::string dev() const { return root_ + "/dev"; }
  // Points NORZA_SYSFS_ROOT and NORZA_DEV_ROOT here (restored on destruction).
  void Activate();

  // A SCSI unit behind USB device 1-<port>; attributes are written as the
  // kernel pads them (vendor to 8, model to 16 characters). The node is an
  // empty regular file unless nodeTarget names something to link to.
  void AddUsbDisk(const std::string& name, int port, const std::string& vendor,
                  const std::string& model, const std::string& rev, const std::string& serial,
                  const std::string& nodeTarget = "", const Unit& unit = Unit());
  // A SATA disk (never a calculator, whatever it calls itself).
  void AddAtaDisk(const std::string& name, const std::string& vendor, const std::string& model);
  // A block device without a device link (loop, ram, zram).
  void AddVirtualDisk(const std::string& name);

 private:
  void AddDisk(const std::string& name, const std::string& devicePath, const std::string& vendor,
               const std::string& model, const std::string& rev, const std::string& nodeTarget,
               const Unit& unit);

  std::string root_;
  int ataDisks_ = 0;
  bool activated_ = false;
  std::string savedSysfs_, savedDev_;
  bool hadSysfs_ = false, hadDev_ = false;
};

}  // namespace norza::linktest
