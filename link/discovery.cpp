#include "discovery.h"

#include <cwchar>
#include <vector>

#include "link.h"
#include "link_lock.h"
#include "pacing.h"
#include "platform.h"

namespace norza::link {

std::array<std::wstring, kDeviceSlots> DevicePathTable;
int32_t deviceCount = 0;
int32_t calculatorsBeyondSlots = 0;
std::vector<std::wstring> pathsBeyondSlots;

int32_t FoldForDevicePath(wchar_t* out, const wchar_t* in) {
  int32_t length = 0;
  for (; in[length] != L'\0'; ++length) {
    const wchar_t folded = static_cast<wchar_t>(in[length] | 0x20);
    out[length] = folded == L' ' ? L'_' : folded;
  }
  out[length] = L'\0';
  return length;
}

std::wstring BuildMatchPattern(const wchar_t* vendor, const wchar_t* product) {
  std::wstring pattern = L"\\\\?\\usbstor#disk&ven_";
  // Folded in place inside the pattern: no length limit on either string.
  auto appendFolded = [&pattern](const wchar_t* text) {
    const std::size_t at = pattern.size();
    pattern.resize(at + std::wcslen(text) + 1);
    pattern.resize(at + static_cast<std::size_t>(FoldForDevicePath(&pattern[at], text)));
  };
  appendFolded(vendor);
  pattern += L"&prod_";
  appendFolded(product);
  return pattern;
}

bool MatchesCalculatorPath(const std::wstring& path, const std::wstring& pattern) {
  for (std::size_t at = path.find(pattern); at != std::wstring::npos;
       at = path.find(pattern, at + 1)) {
    // The product ends where the pattern does, but for padding: "Norza
    // update2" is another device.
    std::size_t end = at + pattern.size();
    while (end < path.size() && path[end] == L'_') ++end;
    if (end == path.size() || path[end] == L'&' || path[end] == L'#') return true;
  }
  return false;
}

int32_t FindCalculatorDisks(std::wstring* table, const wchar_t* vendor, const wchar_t* product,
                            int32_t slots) {
  if (table == nullptr || vendor == nullptr || product == nullptr || slots <= 0) return 0;
  int32_t count = 0;
  calculatorsBeyondSlots = 0;
  pathsBeyondSlots.clear();
  try {
    std::vector<std::wstring> paths;
    platform::ActiveBackend().ListDiskInterfaces(paths);
    // The pattern does not depend on the interface, so it is folded once per pass.
    const std::wstring pattern = BuildMatchPattern(vendor, product);
    for (const std::wstring& path : paths) {
      if (!MatchesCalculatorPath(path, pattern)) continue;
      // A calculator that finds no slot must not be skipped silently: the
      // entries refuse to work while one is left out.
      if (count == slots) {
        ++calculatorsBeyondSlots;
        pathsBeyondSlots.push_back(path);
        continue;
      }
      table[count++] = path;
    }
  } catch (...) {
    // Out of memory: like any other failure of a pass, it only finds less.
  }
  return count;
}

int32_t FindCalculatorDisksWithRetry(std::wstring* table, const wchar_t* vendor,
                                     const wchar_t* product, int32_t slots, PassObserver observer) {
  for (int pass = 0; pass < kDiscoveryPasses; ++pass) {
    const int32_t count = FindCalculatorDisks(table, vendor, product, slots);
    if (observer != nullptr) observer(table, count);
    if (count > 0) return count;
    PauseMs(kDiscoveryPauseMs);
  }
  return 0;
}

}  // namespace norza::link

bool IsCalculatorAttached(const wchar_t* vendor, const wchar_t* product) {
  using namespace norza::link;
  try {
    std::lock_guard<std::mutex> lock(LinkMutex());
    const int32_t count =
        FindCalculatorDisks(DevicePathTable.data(), vendor, product, kDeviceSlots);
    return count > 0;
  } catch (...) {
    return false;  // the lock could not be taken
  }
}
