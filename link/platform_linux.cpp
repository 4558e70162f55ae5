// The native backend on Linux: disks found in sysfs, written through
// O_DIRECT | O_SYNC file descriptors.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "number_parse.h"
#include "platform.h"
#include "seams.h"

namespace norza::platform {
namespace {

// errno of the last failed call, per thread, so that a later successful call
// (a seek, a close) cannot hide it before LastErrorText is asked.
thread_local int t_lastError = 0;

bool Fail() {
  t_lastError = errno;
  return false;
}

std::string RootFromEnvironment(const char* name, const char* fallback) {
  const char* value = SeamVariable(name);
  std::string root = value != nullptr ? value : fallback;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  return root;
}

// Contents of a small sysfs attribute (opened relative to its directory,
// which spares the kernel a walk down the long sysfs path) without trailing
// spaces and newlines; empty when it cannot be read.
std::string ReadAttributeAt(int directory, const char* name) {
  char text[256];
  const int fd = ::openat(directory, name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  ssize_t length;
  do {
    length = ::read(fd, text, sizeof text);
  } while (length < 0 && errno == EINTR);
  ::close(fd);
  if (length <= 0) return {};
  std::size_t end = static_cast<std::size_t>(length);
  while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\n' || text[end - 1] == '\t' ||
                     text[end - 1] == '\0')) {
    --end;
  }
  return std::string(text, end);
}

// The target of a symbolic link, or empty when path is no link.
std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  return std::string(target, static_cast<std::size_t>(length));
}

// Resolves a relative link target against the directory that holds the link,
// by text. Sysfs links point into /sys/devices, whose directories are no
// links themselves, so ".." may simply drop a component; two readlink calls
// replace a realpath that would look at every component.
std::string JoinLink(const std::string& directory, const std::string& target) {
  std::string out = (std::filesystem::path(directory) / target).lexically_normal().string();
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A root hub: "usb1".
bool IsUsbBus(std::string_view name) {
  return name.size() > 3 && name.substr(0, 3) == "usb" && AllDigits(name.substr(3));
}

// A USB device behind a root hub: "1-1", "2-1.4.3" (an interface "1-1:1.0"
// has a colon and does not qualify).
bool IsUsbDevice(std::string_view name) {
  const std::size_t dash = name.find('-');
  if (dash == std::string_view::npos || !AllDigits(name.substr(0, dash))) return false;
  std::string_view ports = name.substr(dash + 1);
  while (true) {
    const std::size_t dot = ports.find('.');
    if (!AllDigits(ports.substr(0, dot))) return false;
    if (dot == std::string_view::npos) return true;
    ports = ports.substr(dot + 1);
  }
}

// Length of the prefix of a device path up to the USB device the disk sits
// on: the last of the USB device directories that follow a root hub
// ("/.../usb1/1-1/1-1.4" for a disk behind a hub on port 4). 0 when the path
// does not pass through a USB device.
std::size_t UsbDevicePrefix(std::string_view path) {
  bool afterBus = false;
  std::size_t device = 0;
  std::size_t start = 0;
  while (start < path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view component = path.substr(start, end - start);
    if (afterBus && IsUsbDevice(component)) {
      device = end;
    } else if (device != 0) {
      return device;
    } else {
      afterBus = IsUsbBus(component);
    }
    start = end + 1;
  }
  return device;
}

// Kernel names in a stable order: sda < sdb < ... < sdz < sdaa.
bool KernelNameLess(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// SCSI peripheral types of a disk: direct access (0) and simplified direct
// access (14). A CD-ROM unit (5) of the same device is no calculator disk.
bool IsScsiDiskType(const std::string& type) { return type == "0" || type == "14"; }

// One disk of a pass.
struct FoundDisk {
  std::wstring interfacePath;
  std::string node;
  std::string serial;  // as the USB device reports it
  std::string port;    // the USB device's directory: bus, then the ports ("1-1.4")
  int32_t logicalSectorSize =
      512;  // from sysfs; the node's own ioctl wins when it is a block device
};

class LinuxBackend final : public Backend {
 public:
  void ListDiskInterfaces(std::vector<std::wstring>& paths) override {
    std::vector<FoundDisk> found;
    Scan(found);
    for (const auto& entry : found) paths.push_back(entry.interfacePath);
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_ = std::move(found);
  }

  Handle OpenDisk(const std::wstring& interfacePath) override {
    FoundDisk disk;
    if (!Lookup(interfacePath, &disk)) {
      // Not seen by the last pass (or no pass yet): look again.
      std::vector<std::wstring> ignored;
      ListDiskInterfaces(ignored);
      if (!Lookup(interfacePath, &disk)) {
        t_lastError = ENOENT;
        return kInvalidHandle;
      }
    }
    // O_EXCL on a block device fails with EBUSY while it, or a partition of
    // it, is mounted or claimed by another exclusive user: raw writes under
    // a mounted file system would corrupt it, so such a disk is refused.
    int fd = ::open(disk.node.c_str(), O_RDWR | O_DIRECT | O_SYNC | O_EXCL | O_CLOEXEC);
    if (fd < 0 && errno == EINVAL) {
      // A device without direct I/O: synchronous writes still reach it
      // before write() returns.
      fd = ::open(disk.node.c_str(), O_RDWR | O_SYNC | O_EXCL | O_CLOEXEC);
    }
    if (fd < 0) {
      Fail();
      return kInvalidHandle;
    }
    // Only a block device is a disk: a node that is a regular file (a fake
    // tree's node linked to someone's document, say) is never written.
    struct stat info {};
    const bool described = ::fstat(fd, &info) == 0;
    if (!described || !S_ISBLK(info.st_mode)) {
      t_lastError = described ? ENOTBLK : errno;
      ::close(fd);
      return kInvalidHandle;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    sectorSizes_[fd] = disk.logicalSectorSize;
    return fd;
  }

  int32_t LogicalSectorSize(Handle handle) override {
    struct stat info {};
    int size = 0;
    if (::fstat(Fd(handle), &info) == 0 && S_ISBLK(info.st_mode) &&
        ::ioctl(Fd(handle), BLKSSZGET, &size) == 0 && size > 0) {
      return size;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = sectorSizes_.find(Fd(handle));
    return found != sectorSizes_.end() ? found->second : static_cast<int32_t>(kSectorSize);
  }

  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
  // writer, for good. It changes nothing for a regular file.
  Handle OpenFileForReading(const std::wstring& path) override {
    const int fd = ::open(WideToUtf8(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      Fail();
      return kInvalidHandle;
    }
    return fd;
  }

  bool DescribeFile(Handle handle, FileFacts* facts) override {
    struct stat info {};
    if (::fstat(Fd(handle), &info) != 0) return Fail();
    facts->regular = S_ISREG(info.st_mode);
    facts->size = info.st_size;
    facts->volume = static_cast<uint64_t>(info.st_dev);
    facts->index = static_cast<uint64_t>(info.st_ino);
    facts->modified = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
  }

  bool ReadAt(Handle handle, int64_t offset, void* buffer, uint32_t length,
              uint32_t* done) override {
    uint32_t total = 0;
    bool ok = true;
    while (total < length) {
      const ssize_t n = ::pread(Fd(handle), static_cast<char*>(buffer) + total, length - total,
                                static_cast<off_t>(offset + total));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = Fail();
        break;
      }
      if (n == 0) break;  // end of file
      total += static_cast<uint32_t>(n);
    }
    if (done != nullptr) *done = total;
    return ok;
  }

  int64_t Size(Handle handle) override {
    struct stat info {};
    if (::fstat(Fd(handle), &info) != 0) {
      Fail();
      return -1;
    }
    if (S_ISBLK(info.st_mode)) {
      uint64_t bytes = 0;
      if (::ioctl(Fd(handle), BLKGETSIZE64, &bytes) != 0) {
        Fail();
        return -1;
      }
      return static_cast<int64_t>(bytes);
    }
    return info.st_size;
  }

  int64_t Seek(Handle handle, int64_t distance, SeekFrom from) override {
    const off_t position = ::lseek(Fd(handle), static_cast<off_t>(distance),
                                   from == SeekFrom::Begin ? SEEK_SET : SEEK_CUR);
    if (position < 0) {
      Fail();
      return -1;
    }
    return position;
  }

  bool Read(Handle handle, void* buffer, uint32_t length, uint32_t* done) override {
    uint32_t total = 0;
    bool ok = true;
    while (total < length) {
      const ssize_t n = ::read(Fd(handle), static_cast<char*>(buffer) + total, length - total);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        ok = Fail();
        break;
      }
      if (n == 0) break;  // end of file or device
      total += static_cast<uint32_t>(n);
    }
    if (done != nullptr) *done = total;
    return ok;
  }

  bool Write(Handle handle, const void* buffer, uint32_t length, uint32_t* done) override {
    uint32_t total = 0;
    bool ok = true;
    while (total < length) {
      const ssize_t n =
          ::write(Fd(handle), static_cast<const char*>(buffer) + total, length - total);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n == 0) errno = ENOSPC;
        ok = Fail();
        break;
      }
      total += static_cast<uint32_t>(n);
    }
    if (done != nullptr) *done = total;
    return ok;
  }

  bool Flush(Handle handle) override { return ::fsync(Fd(handle)) == 0 || Fail(); }

  void Close(Handle handle) override {
    if (handle == kInvalidHandle) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sectorSizes_.erase(Fd(handle));
    }
    ::close(Fd(handle));
  }

  std::string LastErrorText() override {
    char text[256] = "";
    const int error = t_lastError;
    return std::string(Pick(::strerror_r(error, text, sizeof text), text)) + " (errno " +
           std::to_string(error) + ")";
  }

  ErrorKind LastErrorKind() override {
    switch (t_lastError) {
      case 0: return ErrorKind::None;
      case EACCES:
      case EPERM:
      case EROFS: return ErrorKind::NoAccess;
      case EBUSY: return ErrorKind::InUse;
      case ENOENT:
      case ENODEV:
      case ENXIO:
      case ENOMEDIUM: return ErrorKind::Gone;
      default: return ErrorKind::Other;
    }
  }

  DiskIdentity DescribeDisk(const std::wstring& interfacePath) override {
    FoundDisk disk;
    if (!Lookup(interfacePath, &disk)) return Backend::DescribeDisk(interfacePath);
    return {disk.serial, disk.port, Utf8ToWide(disk.node)};
  }

  std::wstring DeviceNodeOf(const std::wstring& interfacePath) override {
    FoundDisk disk;
    return Lookup(interfacePath, &disk) ? Utf8ToWide(disk.node) : std::wstring();
  }

 private:
  static int Fd(Handle handle) { return static_cast<int>(handle); }
  // strerror_r comes in a GNU and an XSI flavour.
  static const char* Pick(const char* gnu, const char*) { return gnu; }
  static const char* Pick(int xsi, const char* text) { return xsi == 0 ? text : "unknown error"; }

  bool Lookup(const std::wstring& interfacePath, FoundDisk* disk) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : nodes_) {
      if (entry.interfacePath != interfacePath) continue;
      *disk = entry;
      return true;
    }
    return false;
  }

  // One pass over <sysfs>/block; the roots are read from the environment at
  // every pass.
  static void Scan(std::vector<FoundDisk>& found) {
    const std::string sysfs = RootFromEnvironment("NORZA_SYSFS_ROOT", "/sys");
    const std::string dev = RootFromEnvironment("NORZA_DEV_ROOT", "/dev");
    const std::string blockDir = sysfs + "/block";
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(blockDir.c_str())) {
      while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
      }
      ::closedir(dir);
    }
    std::sort(names.begin(), names.end(), KernelNameLess);

    for (const std::string& name : names) {
      // The real /sys/block/<name> is itself a link into /sys/devices.
      std::string base = blockDir + "/" + name;
      const std::string baseTarget = ReadLink(base);
      if (!baseTarget.empty()) base = JoinLink(blockDir, baseTarget);
      const std::string deviceTarget = ReadLink(base + "/device");
      if (deviceTarget.empty()) continue;  // no device link: not a disk
      const std::string device = JoinLink(base, deviceTarget);
      const std::size_t usbDevice = UsbDevicePrefix(device);
      if (usbDevice == 0) continue;  // not attached by USB

      const int directory = ::open(device.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (directory < 0) continue;
      if (!IsScsiDiskType(ReadAttributeAt(directory, "type"))) {
        ::close(directory);
        continue;
      }
      const std::string vendor = ReadAttributeAt(directory, "vendor");
      const std::string model = ReadAttributeAt(directory, "model");
      const std::string revision = ReadAttributeAt(directory, "rev");
      // The USB device's serial, reached upward from the disk's directory.
      std::string serialPath;
      for (std::size_t i = usbDevice; i < device.size(); ++i) {
        if (device[i] == '/') serialPath += "../";
      }
      serialPath += "serial";
      const std::string serial = ReadAttributeAt(directory, serialPath.c_str());
      ::close(directory);

      FoundDisk disk;
      disk.node = dev + "/" + name;
      disk.serial = serial;
      disk.port = device.substr(0, usbDevice);
      disk.port = disk.port.substr(disk.port.rfind('/') + 1);
      const int blockDirectory = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
      if (blockDirectory >= 0) {
        const std::string sectorSize = ReadAttributeAt(blockDirectory, "queue/logical_block_size");
        ::close(blockDirectory);
        uint64_t bytes = 0;
        if (ParseUnsigned(sectorSize, 1u << 20, &bytes))
          disk.logicalSectorSize = static_cast<int32_t>(bytes);
      }
      // Two disks must never share a path (same serial on two devices, or
      // several units of one device), or one would be written twice and the
      // other never: the later one gets its kernel name, and more until the
      // path is free (another device's serial may spell the first choice).
      const auto taken = [&](const std::wstring& candidate) {
        return std::any_of(found.begin(), found.end(), [&](const FoundDisk& entry) {
          return entry.interfacePath == candidate;
        });
      };
      std::string unique = serial;
      disk.interfacePath = BuildUsbDiskInterfacePath(vendor, model, revision, unique);
      while (taken(disk.interfacePath)) {
        unique += "_" + name;
        disk.interfacePath = BuildUsbDiskInterfacePath(vendor, model, revision, unique);
      }
      found.push_back(std::move(disk));
    }
  }

  std::mutex mutex_;  // guards nodes_ (written by any thread's pass) and sectorSizes_
  std::vector<FoundDisk> nodes_;
  std::map<int, int32_t> sectorSizes_;  // open disk -> its sysfs logical sector size
};

}  // namespace

std::unique_ptr<Backend> CreateNativeBackend() { return std::make_unique<LinuxBackend>(); }

}  // namespace norza::platform
