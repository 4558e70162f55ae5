// The small interface between the link's logic and the machine. One native
// backend per file: platform_linux.cpp (sysfs + O_DIRECT block I/O),
// platform_windows.cpp (SetupDi + CreateFileW). Other backends (the emulated
// calculators in emu/) are installed from outside. The link's logic never
// asks which one it talks to.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace norza::platform {

// An open disk or file. Backends hand out their own values; kInvalidHandle
// marks "not open" in every backend (it equals Windows' INVALID_HANDLE_VALUE).
using Handle = std::intptr_t;
inline constexpr Handle kInvalidHandle = -1;

enum class SeekFrom { Begin, Current };

// Who a disk is, for people.
struct DiskIdentity {
  std::string serial;  // as the device reports it, where the platform tells it
  std::string port;    // the USB port it is plugged into ("1-1.4"), where known
  std::wstring node;   // the device node, where the platform has one
};

// An open file as the platform describes it: what it is, how large, and
// which file it is (the same volume and index mean the same file, however
// it is named; a new file written over the old name has another index).
struct FileFacts {
  bool regular = false;  // a plain file: no FIFO, device, socket or folder
  int64_t size = 0;
  uint64_t volume = 0;
  uint64_t index = 0;
  int64_t modified = 0;  // last write, in the platform's own units
};

// What the last failure on a thread was, as far as a user can act on it.
enum class ErrorKind {
  None,
  NoAccess,  // permission denied: the user lacks the rights to the disk or file
  InUse,     // held by someone else: mounted, or opened exclusively
  Gone,      // the device or file is not there (any more)
  Other,
};

// Disk buffers must start at this alignment and disk transfers must be whole
// 512-byte sectors at sector offsets: unbuffered I/O demands it.
inline constexpr std::size_t kIoAlignment = 4096;
inline constexpr std::size_t kSectorSize = 512;

// The contract between the link and a backend:
// - Locking. The link calls a backend only from inside its public entries,
//   which hold the link's one lock (link_lock.h) for their whole run; during
//   a transfer the writer threads call it concurrently under that same lock,
//   one handle per thread. So a backend never sees a listing overlap an open
//   disk of another entry, but it must be safe for several threads at once
//   as long as each handle is used by one thread at a time. Outside the
//   lock come only the file calls (below), CalculatorSource, and, just after
//   an entry released the lock, DescribeDisk for a chosen calculator it did
//   not find attached. Backends take no lock of the link and never call back
//   into it.
// - Blocking. Every call returns without waiting for a person. Read, Write
//   and Flush block until the device has done the transfer (write-through,
//   unbuffered); ListDiskInterfaces reads the machine's device tables; none
//   of them retries or pauses on its own (the link paces itself).
// - Discovery inside calls. OpenDisk resolves the path against the backend's
//   last listing and may run one listing itself when the path is not in it
//   (the Linux backend does); callers must not rely on a listing being fresh
//   otherwise.
// - Files. OpenFileForReading, DescribeFile, ReadAt, Size and Close on a
//   file handle may also be called outside the link's lock (the image set is
//   examined before any entry runs); one file handle may be read with ReadAt
//   by several threads at once.
// - Outcomes. Failures return kInvalidHandle, -1 or false, never throw, and
//   leave the failure for LastErrorText/LastErrorKind on the calling thread.
//   ErrorKind::Gone means the platform said the device or file is not there
//   (unplugged, removed, never existed). A disk pulled during I/O may also
//   fail as Other (a plain I/O error): the link tells "gone" from "failed"
//   by the next listing, which its callers' update sessions go by.
class Backend {
 public:
  virtual ~Backend() = default;

  // Appends the device interface paths of the disks present now, in
  // enumeration order (Windows' form, see BuildUsbDiskInterfacePath).
  virtual void ListDiskInterfaces(std::vector<std::wstring>& paths) = 0;

  // Opens a raw disk by its interface path for reading and writing, shared,
  // existing only, write-through and unbuffered. kInvalidHandle on failure.
  virtual Handle OpenDisk(const std::wstring& interfacePath) = 0;

  // Opens an existing file for reading, shared for reading, without waiting
  // for a writer: a FIFO or a device opens at once (and DescribeFile then
  // says it is no regular file) instead of blocking.
  virtual Handle OpenFileForReading(const std::wstring& path) = 0;

  // What an open file is now, as its handle tells it. false on error.
  virtual bool DescribeFile(Handle handle, FileFacts* facts) = 0;

  // Reads length bytes at offset without moving a shared position, so the
  // writer threads of a transfer can read one image handle at once. *done
  // is short at the end of the file; false when the platform reports an
  // error.
  virtual bool ReadAt(Handle handle, int64_t offset, void* buffer, uint32_t length,
                      uint32_t* done) = 0;

  // Size in bytes of an open file or disk, -1 on error.
  virtual int64_t Size(Handle handle) = 0;

  // Moves the position; returns the new position or -1 on error.
  virtual int64_t Seek(Handle handle, int64_t distance, SeekFrom from) = 0;

  // Synchronous transfers at the current position, which advances by *done.
  // false when the platform reports an error.
  virtual bool Read(Handle handle, void* buffer, uint32_t length, uint32_t* done) = 0;
  virtual bool Write(Handle handle, const void* buffer, uint32_t length, uint32_t* done) = 0;

  // Pushes everything written so far to the device.
  virtual bool Flush(Handle handle) = 0;

  virtual void Close(Handle handle) = 0;

  // Bytes per logical sector of an open disk. The command protocol and the
  // image writes are laid out in 512-byte sectors; a disk with larger ones is
  // refused before anything is written. Backends that cannot tell say 512.
  virtual int32_t LogicalSectorSize(Handle handle) {
    (void)handle;
    return static_cast<int32_t>(kSectorSize);
  }

  // The platform's text for the last failure on the calling thread.
  virtual std::string LastErrorText() = 0;
  // The same failure, classified.
  virtual ErrorKind LastErrorKind() { return ErrorKind::Other; }

  // What the calculators of this backend are when they are not the
  // machine's own disks ("emulated calculators in /tmp/calcs"), so programs
  // can say so; empty for the native backend.
  virtual std::string CalculatorSource() { return {}; }

  // Who a disk of the last listing is. By default its serial from the
  // interface path, its node from DeviceNodeOf and no port.
  virtual DiskIdentity DescribeDisk(const std::wstring& interfacePath);

  // Optional: the device node behind an interface path of the last listing
  // (e.g. L"/dev/sdb"), for diagnostics; empty when the backend cannot tell.
  virtual std::wstring DeviceNodeOf(const std::wstring& interfacePath) {
    (void)interfacePath;
    return {};
  }
};

// The backend of this process: the installed one, otherwise the native one.
Backend& ActiveBackend();

// Makes backend the process's backend in place of the native one (nullptr
// goes back to native). Call first thing in main, or at least while no link
// call runs and nothing holds a reference from ActiveBackend().
void InstallBackend(std::unique_ptr<Backend> backend);

// Tests install their own backend; nullptr restores the default. Only while
// no link call runs.
void SetBackendForTesting(Backend* backend);

std::unique_ptr<Backend> CreateNativeBackend();

// The device interface path Windows reports for a USB mass-storage disk, in
// lower case:
// \\?\usbstor#disk&ven_<vendor>&prod_<product>&rev_<rev>#<serial>&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}
// Bytes <= 0x20 or >= 0x7F become '_' as on Windows; the path's separators
// # & \ ? become U+FFFD, which no device byte maps to.
std::wstring BuildUsbDiskInterfacePath(const std::string& vendor, const std::string& product,
                                       const std::string& revision, const std::string& serial);

// The serial number part of such a path ("" when it has none).
std::string SerialOfInterfacePath(const std::wstring& path);

// UTF-8 <-> wide text (UTF-32 on Linux, UTF-16 on Windows), independent of
// the C locale. Invalid input becomes U+FFFD.
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

}  // namespace norza::platform
