// The Windows calls that keep the computer awake, in a table so a test can
// stand in for the system. Windows only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace norza::desktop {

struct DesktopWindowsApi {
  decltype(&::SetThreadExecutionState) setThreadExecutionState;
};

// The real functions; tests replace them before a hold is taken.
DesktopWindowsApi& desktopWindowsApi();

}  // namespace norza::desktop
