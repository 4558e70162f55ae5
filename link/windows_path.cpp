#include "windows_path.h"

#include <algorithm>

namespace norza::platform {

std::wstring ToExtendedLengthPath(const std::wstring& path) {
  if (path.size() < kLongPathThreshold) return path;
  const auto isSlash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  const bool device = path.size() >= 4 && isSlash(path[0]) && isSlash(path[1]) &&
                      (path[2] == L'?' || path[2] == L'.') && isSlash(path[3]);
  if (device) return path;
  std::wstring out;
  const wchar_t drive = path[0] | 0x20;
  if (drive >= L'a' && drive <= L'z' && path[1] == L':' && isSlash(path[2])) {
    out = L"\\\\?\\" + path;
  } else if (isSlash(path[0]) && isSlash(path[1])) {
    out = L"\\\\?\\UNC\\" + path.substr(2);
  } else {
    return path;  // relative: the caller makes it absolute first
  }
  std::replace(out.begin(), out.end(), L'/', L'\\');
  return out;
}

}  // namespace norza::platform
