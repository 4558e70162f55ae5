// Finding the calculator disks among the disks the platform reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace norza::link {

inline constexpr int32_t kDeviceSlots = 16;
inline constexpr int kDiscoveryPasses = 6;
inline constexpr int kDiscoveryPauseMs = 500;

// Device paths found by the last pass, from slot 0 upward. Slots hold whole
// paths of any length. Written only under LinkMutex() by the link's entries
// (tests drive the internals from one thread).
extern std::array<std::wstring, kDeviceSlots> DevicePathTable;

// Calculator disks found by the last retrying discovery of a link entry; the
// handle table is used in parallel up to this count. Same lock as above.
extern int32_t deviceCount;

// Matching disks the last pass found beyond the slots it was given (they
// were not put in the table). Same lock as above.
extern int32_t calculatorsBeyondSlots;
// Their paths, so a pass still lists every calculator attached. Same lock.
extern std::vector<std::wstring> pathsBeyondSlots;

// Sets bit 0x20 of every character and turns the resulting spaces into '_'.
// out must hold wcslen(in) + 1 characters. Returns the folded length.
int32_t FoldForDevicePath(wchar_t* out, const wchar_t* in);

// "\\?\usbstor#disk&ven_<vendor>&prod_<product>" from the folded strings.
std::wstring BuildMatchPattern(const wchar_t* vendor, const wchar_t* product);

// True when path contains the pattern (case-sensitive) and the product ends
// there: only '_' padding may follow before the next '&' or '#' (or the end).
bool MatchesCalculatorPath(const std::wstring& path, const std::wstring& pattern);

// One pass: fills table[0..n) with the device paths that match the pattern,
// in enumeration order, and returns n <= slots.
int32_t FindCalculatorDisks(std::wstring* table, const wchar_t* vendor, const wchar_t* product,
                            int32_t slots);

// Told of every pass of the retrying discovery: the table and its count.
using PassObserver = void (*)(const std::wstring* table, int32_t count);

// Up to six passes, each failed one followed by a 500 ms pause; the first
// non-zero count, or 0. observer, when given, sees every pass.
int32_t FindCalculatorDisksWithRetry(std::wstring* table, const wchar_t* vendor,
                                     const wchar_t* product, int32_t slots,
                                     PassObserver observer = nullptr);

}  // namespace norza::link
