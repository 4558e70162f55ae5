// The Windows calls of the native backend, gathered in a table so that a test
// can stand in for the system. Windows only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>

#include <memory>

#include "platform.h"

namespace norza::platform {

struct WindowsApi {
  decltype(&::SetupDiGetClassDevsW) setupDiGetClassDevs;
  decltype(&::SetupDiEnumDeviceInterfaces) setupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailW) setupDiGetDeviceInterfaceDetail;
  decltype(&::SetupDiDestroyDeviceInfoList) setupDiDestroyDeviceInfoList;
  decltype(&::CreateFileW) createFile;
  decltype(&::GetFullPathNameW) getFullPathName;
  decltype(&::SetFilePointerEx) setFilePointerEx;
  decltype(&::GetFileSizeEx) getFileSizeEx;
  decltype(&::ReadFile) readFile;
  decltype(&::WriteFile) writeFile;
  decltype(&::FlushFileBuffers) flushFileBuffers;
  decltype(&::CloseHandle) closeHandle;
  decltype(&::GetLastError) getLastError;
  decltype(&::FormatMessageW) formatMessage;
  decltype(&::GetFileType) getFileType;
  decltype(&::GetFileInformationByHandle) getFileInformationByHandle;
};

// The real functions.
const WindowsApi& SystemWindowsApi();

// The backend over any table; CreateNativeBackend() uses SystemWindowsApi().
// The table must outlive the backend.
std::unique_ptr<Backend> CreateWindowsBackend(const WindowsApi& api);

// The disk device interface class, {53f56307-b6bf-11d0-94f2-00a0c91efb8b}.
inline constexpr GUID kDiskInterfaceClass = {
    0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

// Access, sharing and flags of the raw disk handle: read and write, shared
// both ways, write-through, unbuffered, random access.
inline constexpr DWORD kDiskAccess = 0xC0000000;
inline constexpr DWORD kDiskShare = 3;
inline constexpr DWORD kDiskFlags = 0xB0000000;

}  // namespace norza::platform
