// The native backend on Windows: disks enumerated with SetupDi on the disk
// interface class, opened with CreateFileW unbuffered and write-through.
#include <cstddef>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

#include "platform_windows_api.h"
#include "windows_path.h"

// Missing from mingw-w64's winerror.h.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

namespace norza::platform {
namespace {

// Error of the last failed call, per thread: later successful calls (a seek
// back, a close) must not hide it from LastErrorText.
thread_local DWORD t_lastError = 0;

class DeviceInfoSet {
 public:
  DeviceInfoSet(const WindowsApi& api, HDEVINFO set) : api_(api), set_(set) {}
  ~DeviceInfoSet() {
    if (valid()) api_.setupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet&) = delete;
  DeviceInfoSet& operator=(const DeviceInfoSet&) = delete;
  bool valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
  HDEVINFO get() const { return set_; }

 private:
  const WindowsApi& api_;
  HDEVINFO set_;
};

HANDLE Native(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
Handle Wrap(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

class WindowsBackend final : public Backend {
 public:
  explicit WindowsBackend(const WindowsApi& api) : api_(api) {}

  void ListDiskInterfaces(std::vector<std::wstring>& paths) override {
    DeviceInfoSet set(api_, api_.setupDiGetClassDevs(&kDiskInterfaceClass, nullptr, nullptr,
                                                     DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!set.valid()) {
      Remember();
      return;
    }
    std::vector<DWORD> storage;  // DWORD elements keep the detail record aligned
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA interfaceData{};
      interfaceData.cbSize = sizeof interfaceData;
      if (!api_.setupDiEnumDeviceInterfaces(set.get(), nullptr, &kDiskInterfaceClass, index,
                                            &interfaceData)) {
        break;
      }
      DWORD required = 0;
      api_.setupDiGetDeviceInterfaceDetail(set.get(), &interfaceData, nullptr, 0, &required,
                                           nullptr);
      if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
      storage.assign((required + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
      // The size of the fixed header (8 on x64), not of the whole buffer.
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      if (!api_.setupDiGetDeviceInterfaceDetail(set.get(), &interfaceData, detail, required,
                                                nullptr, nullptr)) {
        continue;
      }
      const std::size_t capacity =
          (required - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath)) / sizeof(WCHAR);
      paths.emplace_back(detail->DevicePath, wcsnlen(detail->DevicePath, capacity));
    }
  }

  Handle OpenDisk(const std::wstring& interfacePath) override {
    const HANDLE handle = api_.createFile(interfacePath.c_str(), kDiskAccess, kDiskShare, nullptr,
                                          OPEN_EXISTING, kDiskFlags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) Remember();
    return Wrap(handle);
  }

  Handle OpenFileForReading(const std::wstring& path) override {
    const std::wstring full = ToExtendedLengthPath(FullPathIfLong(path));
    const HANDLE handle = api_.createFile(full.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) Remember();
    return Wrap(handle);
  }

  // A file on a volume, not a pipe, console or device. Opening a pipe does
  // not wait; reading it would.
  bool DescribeFile(Handle handle, FileFacts* facts) override {
    const DWORD type = api_.getFileType(Native(handle));
    if (type != FILE_TYPE_DISK) {
      *facts = FileFacts{};
      return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!api_.getFileInformationByHandle(Native(handle), &info)) return Remember();
    facts->regular =
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    facts->size =
        static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    facts->volume = info.dwVolumeSerialNumber;
    facts->index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    facts->modified =
        static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                             info.ftLastWriteTime.dwLowDateTime);
    return true;
  }

  // ReadFile with an offset in its OVERLAPPED record reads there on a
  // synchronous handle; each writer thread passes its own.
  bool ReadAt(Handle handle, int64_t offset, void* buffer, uint32_t length,
              uint32_t* done) override {
    return ReadLoop(handle, &offset, buffer, length, done);
  }

  int64_t Size(Handle handle) override {
    LARGE_INTEGER size{};
    if (!api_.getFileSizeEx(Native(handle), &size)) {
      Remember();
      return -1;
    }
    return size.QuadPart;
  }

  // SetFilePointerEx reports errors by its result, so a position whose low
  // 32 bits are all ones needs no second look at the error code.
  int64_t Seek(Handle handle, int64_t distance, SeekFrom from) override {
    LARGE_INTEGER move{};
    move.QuadPart = distance;
    LARGE_INTEGER position{};
    if (!api_.setFilePointerEx(Native(handle), move, &position,
                               from == SeekFrom::Begin ? FILE_BEGIN : FILE_CURRENT)) {
      Remember();
      return -1;
    }
    return position.QuadPart;
  }

  bool Read(Handle handle, void* buffer, uint32_t length, uint32_t* done) override {
    return ReadLoop(handle, nullptr, buffer, length, done);
  }

  bool Write(Handle handle, const void* buffer, uint32_t length, uint32_t* done) override {
    uint32_t total = 0;
    bool ok = true;
    while (total < length) {
      DWORD n = 0;
      if (!api_.writeFile(Native(handle), static_cast<const char*>(buffer) + total, length - total,
                          &n, nullptr)) {
        ok = Remember();
        break;
      }
      if (n == 0) {
        t_lastError = ERROR_WRITE_FAULT;
        ok = false;
        break;
      }
      total += n;
    }
    if (done != nullptr) *done = total;
    return ok;
  }

  bool Flush(Handle handle) override {
    return api_.flushFileBuffers(Native(handle)) != FALSE || Remember();
  }

  void Close(Handle handle) override {
    if (handle != kInvalidHandle) api_.closeHandle(Native(handle));
  }

  std::string LastErrorText() override {
    const DWORD error = t_lastError;
    wchar_t text[512] = L"";
    const DWORD length =
        api_.formatMessage(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, static_cast<DWORD>(std::size(text)), nullptr);
    std::wstring message(text, length < std::size(text) ? length : 0);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                                message.back() == L' ' || message.back() == L'.')) {
      message.pop_back();
    }
    return WideToUtf8(message) + " (error " + std::to_string(error) + ")";
  }

  ErrorKind LastErrorKind() override {
    switch (t_lastError) {
      case 0: return ErrorKind::None;
      case ERROR_ACCESS_DENIED:
      case ERROR_WRITE_PROTECT: return ErrorKind::NoAccess;
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION: return ErrorKind::InUse;
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_DEVICE_NOT_CONNECTED:
      case ERROR_NOT_READY:
      case ERROR_NO_SUCH_DEVICE: return ErrorKind::Gone;
      default: return ErrorKind::Other;
    }
  }

 private:
  // ReadFile until length bytes or the end of the file. With at, from that
  // offset (an OVERLAPPED record on a synchronous handle: each writer thread
  // passes its own); without, from the handle's position.
  bool ReadLoop(Handle handle, const int64_t* at, void* buffer, uint32_t length, uint32_t* done) {
    uint32_t total = 0;
    bool ok = true;
    while (total < length) {
      OVERLAPPED where{};
      if (at != nullptr) {
        const auto position = static_cast<uint64_t>(*at) + total;
        where.Offset = static_cast<DWORD>(position & 0xFFFFFFFFu);
        where.OffsetHigh = static_cast<DWORD>(position >> 32);
      }
      DWORD n = 0;
      if (!api_.readFile(Native(handle), static_cast<char*>(buffer) + total, length - total, &n,
                         at != nullptr ? &where : nullptr)) {
        if (at != nullptr && api_.getLastError() == ERROR_HANDLE_EOF) break;
        ok = Remember();
        break;
      }
      if (n == 0) break;  // end of file
      total += n;
    }
    if (done != nullptr) *done = total;
    return ok;
  }

  bool Remember() {
    t_lastError = api_.getLastError();
    return false;
  }

  // Long paths need an absolute form before they can take the "\\?\" prefix.
  std::wstring FullPathIfLong(const std::wstring& path) {
    if (path.size() < kLongPathThreshold) return path;
    const DWORD needed = api_.getFullPathName(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD length = api_.getFullPathName(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed) return path;
    full.resize(length);
    return full;
  }

  const WindowsApi& api_;
};

}  // namespace

const WindowsApi& SystemWindowsApi() {
  static const WindowsApi api = {
      &::SetupDiGetClassDevsW,
      &::SetupDiEnumDeviceInterfaces,
      &::SetupDiGetDeviceInterfaceDetailW,
      &::SetupDiDestroyDeviceInfoList,
      &::CreateFileW,
      &::GetFullPathNameW,
      &::SetFilePointerEx,
      &::GetFileSizeEx,
      &::ReadFile,
      &::WriteFile,
      &::FlushFileBuffers,
      &::CloseHandle,
      &::GetLastError,
      &::FormatMessageW,
      &::GetFileType,
      &::GetFileInformationByHandle,
  };
  return api;
}

std::unique_ptr<Backend> CreateWindowsBackend(const WindowsApi& api) {
  return std::make_unique<WindowsBackend>(api);
}

std::unique_ptr<Backend> CreateNativeBackend() { return CreateWindowsBackend(SystemWindowsApi()); }

}  // namespace norza::platform
