// The native Windows backend with the system calls faked: SetupDi lists a
// calculator and a memory stick, CreateFileW/ReadFile/WriteFile reach an
// emulated calculator held in memory. First what the backend asks of each
// call, then discovery and a whole transfer through the link (under wine
// here).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discovery.h"
#include "emulator.h"
#include "link.h"
#include "pacing.h"
#include "platform_windows_api.h"

namespace norza::platform {
namespace {

const std::wstring kCalculatorPath =
    L"\\\\?\\usbstor#disk&ven_zk&prod_norza_update&rev_1.00#0123456789&0#"
    L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::wstring kStickPath =
    L"\\\\?\\usbstor#disk&ven_generic&prod_flash_disk&rev_8.07#99887766&0#"
    L"{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const std::wstring kImagePath = L"C:\\firmware\\NORZA_OS.ROM";
constexpr int64_t kDiskSize = 8 * 1024 * 1024;

// What the fake system holds. One instance per test, reached through g_fake
// because the table takes plain function pointers. Writer threads call in
// concurrently: everything below is guarded by mutex.
struct CreateCall {
  std::wstring path;
  DWORD access, share, disposition, flags;
};

struct FakeSystem {
  std::mutex mutex;
  std::vector<std::wstring> interfaces;
  std::size_t failingDetail = SIZE_MAX;  // this interface's detail record cannot be read
  bool noSet = false;
  bool diskClass = false;
  DWORD classFlags = 0;
  int destroyCalls = 0;
  std::vector<DWORD> interfaceDataSizes, detailHeaderSizes;
  std::vector<CreateCall> creates;
  DWORD ioLimit = 0;    // when set, disk reads and writes move at most this much per call
  int chunkWrites = 0;  // WriteFile calls bigger than a command block

  std::shared_ptr<emu::MemoryJournal> journal = std::make_shared<emu::MemoryJournal>();
  emu::Calculator calculator{std::make_unique<emu::MemoryStorage>(kDiskSize), journal};
  std::vector<char> image;

  struct Open {
    bool disk;
    std::unique_ptr<emu::Calculator::Session> session;  // disk only
    int64_t position = 0;
  };
  std::map<HANDLE, Open> handles;
  uintptr_t nextHandle = 0x1000;
};
FakeSystem* g_fake = nullptr;
thread_local DWORD t_error = 0;

HANDLE const kDeviceSet = reinterpret_cast<HANDLE>(0x77);

HDEVINFO WINAPI FakeClassDevs(const GUID* guid, PCWSTR, HWND, DWORD flags) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  g_fake->diskClass = IsEqualGUID(*guid, kDiskInterfaceClass);
  g_fake->classFlags = flags;
  if (g_fake->noSet) {
    t_error = ERROR_ACCESS_DENIED;
    return INVALID_HANDLE_VALUE;
  }
  return kDeviceSet;
}

BOOL WINAPI FakeEnumInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID*, DWORD index,
                               PSP_DEVICE_INTERFACE_DATA data) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  if (set != kDeviceSet || index >= g_fake->interfaces.size()) {
    t_error = ERROR_NO_MORE_ITEMS;
    return FALSE;
  }
  g_fake->interfaceDataSizes.push_back(data->cbSize);
  data->Reserved = index;
  return TRUE;
}

BOOL WINAPI FakeInterfaceDetail(HDEVINFO, PSP_DEVICE_INTERFACE_DATA data,
                                PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                PDWORD required, PSP_DEVINFO_DATA) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  const std::wstring& path = g_fake->interfaces[data->Reserved];
  const DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                          (path.size() + 1) * sizeof(WCHAR));
  if (required != nullptr) *required = needed;
  if (detail != nullptr) g_fake->detailHeaderSizes.push_back(detail->cbSize);
  if (detail != nullptr && data->Reserved == g_fake->failingDetail) {
    t_error = ERROR_INVALID_USER_BUFFER;
    return FALSE;
  }
  if (detail == nullptr || size < needed) {
    t_error = ERROR_INSUFFICIENT_BUFFER;
    return FALSE;
  }
  std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}

BOOL WINAPI FakeDestroy(HDEVINFO set) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  if (set == kDeviceSet) ++g_fake->destroyCalls;
  return TRUE;
}

HANDLE WINAPI FakeCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES,
                             DWORD disposition, DWORD flags, HANDLE) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  g_fake->creates.push_back({path, access, share, disposition, flags});
  FakeSystem::Open open;
  if (path == kCalculatorPath) {
    open.disk = true;
    open.session = g_fake->calculator.Open();
  } else if (path == kImagePath) {
    open.disk = false;
  } else {
    t_error = ERROR_FILE_NOT_FOUND;
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle = reinterpret_cast<HANDLE>(g_fake->nextHandle += 4);
  g_fake->handles.emplace(handle, std::move(open));
  return handle;
}

// Relative paths are taken from C:\work.
DWORD WINAPI FakeFullPathName(LPCWSTR path, DWORD size, LPWSTR out, LPWSTR*) {
  const bool absolute = path[0] == L'\\' || (path[0] != 0 && path[1] == L':');
  const std::wstring full = (absolute ? L"" : L"C:\\work\\") + std::wstring(path);
  if (out == nullptr || size <= full.size()) return static_cast<DWORD>(full.size() + 1);
  std::wcscpy(out, full.c_str());
  return static_cast<DWORD>(full.size());
}

FakeSystem::Open* Find(HANDLE handle) {
  auto it = g_fake->handles.find(handle);
  return it == g_fake->handles.end() ? nullptr : &it->second;
}

BOOL WINAPI FakeSetFilePointer(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER position,
                               DWORD method) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  FakeSystem::Open* open = Find(handle);
  if (open == nullptr) {
    t_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  const int64_t base = method == FILE_BEGIN ? 0 : method == FILE_CURRENT ? open->position : -1;
  if (base < 0 || base + distance.QuadPart < 0) {
    t_error = ERROR_NEGATIVE_SEEK;
    return FALSE;
  }
  open->position = base + distance.QuadPart;
  if (position != nullptr) position->QuadPart = open->position;
  return TRUE;
}

BOOL WINAPI FakeFileSize(HANDLE handle, PLARGE_INTEGER size) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  FakeSystem::Open* open = Find(handle);
  if (open == nullptr) {
    t_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  size->QuadPart = open->disk ? kDiskSize : static_cast<int64_t>(g_fake->image.size());
  return TRUE;
}

BOOL WINAPI FakeReadFile(HANDLE handle, LPVOID buffer, DWORD length, LPDWORD done,
                         LPOVERLAPPED at) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  FakeSystem::Open* open = Find(handle);
  if (open == nullptr) {
    t_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  // A synchronous read with an offset reads there and leaves the position behind it.
  if (at != nullptr)
    open->position =
        static_cast<int64_t>((static_cast<uint64_t>(at->OffsetHigh) << 32) | at->Offset);
  if (open->disk) {
    if (g_fake->ioLimit != 0) length = std::min(length, g_fake->ioLimit);
    if (!g_fake->calculator.Read(*open->session, open->position, buffer, length)) {
      t_error = ERROR_READ_FAULT;
      return FALSE;
    }
    *done = length;
  } else {
    const auto size = static_cast<int64_t>(g_fake->image.size());
    const int64_t n = std::max<int64_t>(0, std::min<int64_t>(length, size - open->position));
    if (n > 0)
      std::memcpy(buffer, g_fake->image.data() + open->position, static_cast<std::size_t>(n));
    *done = static_cast<DWORD>(n);
  }
  open->position += *done;
  return TRUE;
}

BOOL WINAPI FakeWriteFile(HANDLE handle, LPCVOID buffer, DWORD length, LPDWORD done, LPOVERLAPPED) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  FakeSystem::Open* open = Find(handle);
  if (open == nullptr || !open->disk) {
    t_error = ERROR_ACCESS_DENIED;
    return FALSE;
  }
  if (g_fake->ioLimit != 0) length = std::min(length, g_fake->ioLimit);
  if (length > emu::kBlockSize) ++g_fake->chunkWrites;
  open->session->NoteSeek(open->position);
  if (!g_fake->calculator.Write(*open->session, open->position, buffer, length)) {
    t_error = ERROR_WRITE_FAULT;
    return FALSE;
  }
  *done = length;
  open->position += length;
  return TRUE;
}

BOOL WINAPI FakeFlush(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  FakeSystem::Open* open = Find(handle);
  if (open == nullptr || !open->disk) {
    t_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  return g_fake->calculator.Flush(*open->session) ? TRUE : FALSE;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  auto it = g_fake->handles.find(handle);
  if (it == g_fake->handles.end()) {
    t_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  if (it->second.disk) g_fake->calculator.Close(std::move(it->second.session));
  g_fake->handles.erase(it);
  return TRUE;
}

DWORD WINAPI FakeFileType(HANDLE) { return FILE_TYPE_DISK; }

BOOL WINAPI FakeFileInformation(HANDLE handle, LPBY_HANDLE_FILE_INFORMATION info) {
  std::lock_guard<std::mutex> lock(g_fake->mutex);
  FakeSystem::Open* open = Find(handle);
  if (open == nullptr) {
    t_error = ERROR_INVALID_HANDLE;
    return FALSE;
  }
  *info = BY_HANDLE_FILE_INFORMATION{};
  info->dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
  const auto size = static_cast<uint64_t>(open->disk ? kDiskSize : g_fake->image.size());
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  info->nFileIndexLow = open->disk ? 1 : 2;
  return TRUE;
}

DWORD WINAPI FakeGetLastError() { return t_error; }

DWORD WINAPI FakeFormatMessage(DWORD, LPCVOID, DWORD error, DWORD, LPWSTR out, DWORD size,
                               va_list*) {
  const std::wstring text = L"System error " + std::to_wstring(error) + L".\r\n";
  if (size <= text.size()) return 0;
  std::wcscpy(out, text.c_str());
  return static_cast<DWORD>(text.size());
}

const WindowsApi kFakeApi = {
    FakeClassDevs,    FakeEnumInterfaces, FakeInterfaceDetail, FakeDestroy,
    FakeCreateFile,   FakeFullPathName,   FakeSetFilePointer,  FakeFileSize,
    FakeReadFile,     FakeWriteFile,      FakeFlush,           FakeCloseHandle,
    FakeGetLastError, FakeFormatMessage,  FakeFileType,        FakeFileInformation,
};

class WindowsLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPaceScale(0);
    g_fake = &fake;
    fake.interfaces = {kStickPath, kCalculatorPath};
    backend = CreateWindowsBackend(kFakeApi);
    SetBackendForTesting(backend.get());
  }
  void TearDown() override {
    SetBackendForTesting(nullptr);
    g_fake = nullptr;
  }
  long CreatesOf(const std::wstring& path) {
    return std::count_if(fake.creates.begin(), fake.creates.end(),
                         [&](const CreateCall& call) { return call.path == path; });
  }

  FakeSystem fake;
  std::unique_ptr<Backend> backend;
};

TEST_F(WindowsLinkTest, EnumeratesDiskInterfacesAndSkipsUnreadableDetails) {
  const std::wstring calculator = BuildUsbDiskInterfacePath("ZK", "Norza update", "1.00", "1");
  fake.interfaces = {calculator + std::wstring(300, L'x'), L"\\\\?\\broken", calculator};
  fake.failingDetail = 1;
  std::vector<std::wstring> paths;
  backend->ListDiskInterfaces(paths);
  EXPECT_EQ(paths, (std::vector<std::wstring>{fake.interfaces[0], calculator}));
  EXPECT_TRUE(fake.diskClass);
  EXPECT_EQ(fake.classFlags, 0x12u);  // present devices, interface class
  EXPECT_EQ(fake.interfaceDataSizes, std::vector<DWORD>(3, sizeof(SP_DEVICE_INTERFACE_DATA)));
  // The header size of the detail record, not the buffer's size.
  EXPECT_EQ(fake.detailHeaderSizes,
            std::vector<DWORD>(3, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)));
  EXPECT_EQ(fake.destroyCalls, 1);
  EXPECT_EQ(link::FindCalculatorDisks(link::DevicePathTable.data(), kCalculatorVendor,
                                      kCalculatorProduct, 16),
            2);

  fake.noSet = true;
  paths.clear();
  backend->ListDiskInterfaces(paths);
  EXPECT_TRUE(paths.empty());
  EXPECT_EQ(fake.destroyCalls, 2);  // nothing to release for the failed set
  EXPECT_FALSE(IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct));
}

TEST_F(WindowsLinkTest, OpensDisksUnbufferedAndLongImagePathsInTheExtendedForm) {
  backend->OpenDisk(L"\\\\?\\usbstor#disk");
  backend->OpenFileForReading(L"D:\\fw\\NORZA_OS.ROM");
  const std::wstring longName = L"images\\" + std::wstring(260, L'f');
  backend->OpenFileForReading(longName);
  ASSERT_EQ(fake.creates.size(), 3u);
  const CreateCall& disk = fake.creates[0];
  EXPECT_EQ(disk.access, 0xC0000000u);
  EXPECT_EQ(disk.share, 3u);
  EXPECT_EQ(disk.disposition, static_cast<DWORD>(OPEN_EXISTING));
  EXPECT_EQ(disk.flags, 0xB0000000u);
  const CreateCall& image = fake.creates[1];
  EXPECT_EQ(image.path, L"D:\\fw\\NORZA_OS.ROM");
  EXPECT_EQ(image.access, static_cast<DWORD>(GENERIC_READ));
  EXPECT_EQ(image.share, static_cast<DWORD>(FILE_SHARE_READ));
  EXPECT_EQ(image.flags, static_cast<DWORD>(FILE_FLAG_RANDOM_ACCESS));
  EXPECT_EQ(fake.creates[2].path, L"\\\\?\\C:\\work\\" + longName);
}

TEST_F(WindowsLinkTest, MovesBytesInPiecesAndReportsErrors) {
  fake.ioLimit = 1000;  // the backend has to loop
  const Handle disk = backend->OpenDisk(kCalculatorPath);
  std::vector<uint8_t> out(2048, 0x5A), in(2048);
  uint32_t done = 0;
  EXPECT_EQ(backend->Seek(disk, 512, SeekFrom::Begin), 512);
  EXPECT_TRUE(backend->Write(disk, out.data(), 2048, &done));
  EXPECT_EQ(done, 2048u);
  EXPECT_EQ(backend->Seek(disk, -2048, SeekFrom::Current), 512);
  EXPECT_TRUE(backend->Read(disk, in.data(), 2048, &done));
  EXPECT_EQ(in, out);
  EXPECT_EQ(backend->Size(disk), kDiskSize);
  EXPECT_TRUE(backend->Flush(disk));
  EXPECT_EQ(backend->Seek(disk, -1, SeekFrom::Begin), -1);
  backend->Close(disk);
  const Handle image = backend->OpenFileForReading(kImagePath);
  EXPECT_FALSE(backend->Write(image, out.data(), 512, &done));
  EXPECT_EQ(backend->LastErrorText(), "System error 5 (error 5)");
  backend->Close(image);
  EXPECT_TRUE(fake.handles.empty());
}

TEST_F(WindowsLinkTest, TransferOpensOnlyTheCalculatorRawAndWritesTheImageThroughIt) {
  fake.image.resize(4 * 16384);
  for (std::size_t i = 0; i < fake.image.size(); ++i) fake.image[i] = static_cast<char>(i * 7 + 3);
  const int64_t offset = 0x100000;
  EXPECT_TRUE(IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct));
  EXPECT_TRUE(fake.creates.empty()) << "discovery opens nothing";

  ASSERT_EQ(DownloadImage(kCalculatorVendor, kCalculatorProduct, kImagePath.c_str(), offset,
                          nullptr, nullptr),
            LINK_OK);

  EXPECT_EQ(CreatesOf(kCalculatorPath), 1);
  EXPECT_EQ(CreatesOf(kStickPath), 0) << "the memory stick must never be opened";
  EXPECT_GE(CreatesOf(kImagePath), 1);
  EXPECT_TRUE(fake.handles.empty()) << "every handle closed";

  std::vector<char> landed(fake.image.size());
  ASSERT_TRUE(fake.calculator.Peek(offset, landed.data(), landed.size()));
  EXPECT_EQ(landed, fake.image);

  // Window read, progress 0, the data, a flush, progress 100, closing read.
  std::vector<std::string> sequence;
  for (const emu::JournalEvent& e : fake.journal->Events()) {
    if (e.event == "command")
      sequence.push_back(e.name + " " + std::to_string(e.parameter));
    else if (e.event == "window-read")
      sequence.push_back("window-read " + std::to_string(e.length));
    else if (e.event == "write" || e.event == "flush")
      sequence.push_back(e.event);
  }
  EXPECT_EQ(sequence, (std::vector<std::string>{"window-read 15360", "CMD_PROGRESS 0", "write",
                                                "CMD_PROGRESS 25", "write", "CMD_PROGRESS 50",
                                                "write", "CMD_PROGRESS 75", "write", "flush",
                                                "CMD_PROGRESS 100", "window-read 15872"}));

  ASSERT_EQ(FinishUpdate(kCalculatorVendor, kCalculatorProduct), LINK_OK);
  EXPECT_TRUE(fake.calculator.FinishReceived());
}

TEST_F(WindowsLinkTest, AFailingDiskWriteIsTriedSevenTimes) {
  fake.image.assign(16384, 'x');
  fake.calculator.Unplug();
  EXPECT_EQ(
      DownloadImage(kCalculatorVendor, kCalculatorProduct, kImagePath.c_str(), 0, nullptr, nullptr),
      LINK_WRITE_FAILED);
  EXPECT_EQ(fake.chunkWrites, 7);
  EXPECT_TRUE(fake.handles.empty());
}

}  // namespace
}  // namespace norza::platform
