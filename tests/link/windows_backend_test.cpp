// The Windows backend over a fake table of Windows calls: what it asks of
// SetupDi and CreateFileW, and how it moves bytes. Windows only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery.h"
#include "link.h"
#include "platform_windows_api.h"

namespace norza::platform {
namespace {

struct Created {
  std::wstring path;
  DWORD access, share, disposition, flags;
};

// What the fake system holds and what it was asked.
struct FakeSystem {
  std::vector<std::wstring> interfaces;
  std::size_t failingDetail = SIZE_MAX;
  bool noSet = false;
  DWORD classFlags = 0;
  bool diskClass = false;
  std::vector<DWORD> enumSizes, detailSizes;
  int destroyed = 0;
  std::vector<Created> created;
  std::vector<uint8_t> file = std::vector<uint8_t>(4096);
  int64_t position = 0;
  bool failWrites = false;
  DWORD error = 0;
} g;

const HANDLE kFile = reinterpret_cast<HANDLE>(0x40);

WindowsApi FakeApi() {
  WindowsApi api{};
  api.setupDiGetClassDevs = [](const GUID* guid, PCWSTR, HWND, DWORD flags) -> HDEVINFO {
    g.classFlags = flags;
    g.diskClass = std::memcmp(guid, &kDiskInterfaceClass, sizeof(GUID)) == 0;
    return g.noSet ? INVALID_HANDLE_VALUE : reinterpret_cast<HDEVINFO>(0x10);
  };
  api.setupDiEnumDeviceInterfaces = [](HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                                       PSP_DEVICE_INTERFACE_DATA data) -> BOOL {
    g.enumSizes.push_back(data->cbSize);
    data->Reserved = index;
    return index < g.interfaces.size();
  };
  api.setupDiGetDeviceInterfaceDetail = [](HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                           PDWORD required, PSP_DEVINFO_DATA) -> BOOL {
    const std::wstring& path = g.interfaces[data->Reserved];
    const DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                          (path.size() + 1) * sizeof(WCHAR));
    if (detail == nullptr) return *required = need, FALSE;
    g.detailSizes.push_back(detail->cbSize);
    if (data->Reserved == g.failingDetail || size < need) return FALSE;
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return TRUE;
  };
  api.setupDiDestroyDeviceInfoList = [](HDEVINFO) -> BOOL { return ++g.destroyed, TRUE; };
  api.createFile = [](LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                      DWORD disposition, DWORD flags, HANDLE) -> HANDLE {
    g.created.push_back({path, access, share, disposition, flags});
    return kFile;
  };
  api.getFullPathName = [](LPCWSTR path, DWORD size, LPWSTR out, LPWSTR*) -> DWORD {
    const std::wstring full = std::wstring(L"C:\\work\\") + path;
    if (size <= full.size()) return static_cast<DWORD>(full.size() + 1);
    std::memcpy(out, full.c_str(), (full.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(full.size());
  };
  api.setFilePointerEx = [](HANDLE, LARGE_INTEGER move, PLARGE_INTEGER out, DWORD method) -> BOOL {
    const int64_t position = (method == FILE_BEGIN ? 0 : g.position) + move.QuadPart;
    if (position < 0) return g.error = ERROR_NEGATIVE_SEEK, FALSE;
    out->QuadPart = g.position = position;
    return TRUE;
  };
  api.getFileSizeEx = [](HANDLE, PLARGE_INTEGER size) -> BOOL {
    size->QuadPart = static_cast<LONGLONG>(g.file.size());
    return TRUE;
  };
  api.readFile = [](HANDLE, LPVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED) -> BOOL {
    // At most 1000 bytes per call, so the backend has to loop.
    const auto left = static_cast<DWORD>(g.file.size() - static_cast<std::size_t>(g.position));
    *done = std::min<DWORD>({length, left, 1000});
    std::memcpy(buffer, g.file.data() + g.position, *done);
    g.position += *done;
    return TRUE;
  };
  api.writeFile = [](HANDLE, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED) -> BOOL {
    if (g.failWrites) return *done = 0, g.error = ERROR_ACCESS_DENIED, FALSE;
    *done = std::min<DWORD>(length, 1000);
    std::memcpy(g.file.data() + g.position, buffer, *done);
    g.position += *done;
    return TRUE;
  };
  api.flushFileBuffers = [](HANDLE) -> BOOL { return TRUE; };
  api.closeHandle = [](HANDLE) -> BOOL { return TRUE; };
  api.getLastError = []() -> DWORD { return g.error; };
  api.formatMessage = [](DWORD, LPCVOID, DWORD code, DWORD, LPWSTR out, DWORD, va_list*) -> DWORD {
    const std::wstring text = code == ERROR_ACCESS_DENIED ? L"Access is denied.\r\n" : L"";
    std::memcpy(out, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(text.size());
  };
  return api;
}

class WindowsBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { g = FakeSystem{}; }
  WindowsApi api = FakeApi();
  std::unique_ptr<Backend> backend = CreateWindowsBackend(api);
};

TEST_F(WindowsBackendTest, EnumeratesDiskInterfacesAndSkipsUnreadableDetails) {
  const std::wstring calculator = BuildUsbDiskInterfacePath("ZK", "Norza update", "1.00", "1");
  g.interfaces = {calculator + std::wstring(300, L'x'), L"\\\\?\\broken", calculator};
  g.failingDetail = 1;
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  EXPECT_EQ(paths, (std::vector<std::wstring>{g.interfaces[0], calculator}));
  EXPECT_EQ(g.classFlags, 0x12u);
  EXPECT_TRUE(g.diskClass);
  EXPECT_EQ(g.enumSizes, std::vector<DWORD>(4, sizeof(SP_DEVICE_INTERFACE_DATA)));
  EXPECT_EQ(g.detailSizes, std::vector<DWORD>(3, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)));
  EXPECT_EQ(g.destroyed, 1);

  SetBackendForTesting(backend.get());
  EXPECT_EQ(link::FindCalculatorDisks(link::DevicePathTable.data(), kCalculatorVendor,
                                      kCalculatorProduct, 16), 2);
  SetBackendForTesting(nullptr);

  g.noSet = true;
  paths.clear();
  backend->ListDiskInterfaces(paths);
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(g.destroyed, 2);  // nothing more to release
}

TEST_F(WindowsBackendTest, OpensDisksUnbufferedAndLongImagePathsInTheExtendedForm) {
  backend->OpenDisk(L"\\\\?\\usbstor#disk");
  backend->OpenFileForReading(L"D:\\fw\\NORZA_OS.ROM");
  const std::wstring longName = L"images\\" + std::wstring(260, L'f');
  backend->OpenFileForReading(longName);
  ASSERT_EQ(g.created.size(), 3u);
  const Created& disk = g.created[0];
  EXPECT_EQ(disk.access, 0xC0000000u);
  EXPECT_EQ(disk.share, 3u);
  EXPECT_EQ(disk.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(disk.flags, 0xB0000000u);
  const Created& image = g.created[1];
  EXPECT_EQ(image.path, L"D:\\fw\\NORZA_OS.ROM");
  EXPECT_EQ(image.access, static_cast<DWORD>(GENERIC_READ));
  EXPECT_EQ(image.share, static_cast<DWORD>(FILE_SHARE_READ));
  EXPECT_EQ(image.flags, static_cast<DWORD>(FILE_FLAG_RANDOM_ACCESS));
  EXPECT_EQ(g.created[2].path, L"\\\\?\\C:\\work\\" + longName);
}

TEST_F(WindowsBackendTest, MovesBytesAndReportsErrors) {
  const Handle file = backend->OpenDisk(L"disk");
  std::vector<uint8_t> out(2048, 0x5A), in(2048);
  uint32_t done = 0;
  EXPECT_EQ(backend->Seek(file, 512, SeekFrom::Begin), 512);
  EXPECT_TRUE(backend->Write(file, out.data(), 2048, &done));
  EXPECT_EQ(done, 2048u);
  EXPECT_EQ(backend->Seek(file, -2048, SeekFrom::Current), 512);
  EXPECT_TRUE(backend->Read(file, in.data(), 2048, &done));
  EXPECT_EQ(in, out);
  EXPECT_EQ(backend->Size(file), 4096);
  EXPECT_TRUE(backend->Flush(file));
  EXPECT_EQ(backend->Seek(file, -1, SeekFrom::Begin), -1);
  g.failWrites = true;
  EXPECT_FALSE(backend->Write(file, out.data(), 512, &done));
  EXPECT_EQ(backend->LastErrorText(), "Access is denied (error 5)");
  backend->Close(file);
}

}  // namespace
}  // namespace norza::platform
