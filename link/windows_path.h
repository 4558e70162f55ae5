// Windows' extended-length form of a long path, so that image paths of 260
// characters and more still open. Pure text, so it is tested on every
// platform.
#pragma once

#include <string>

namespace norza::platform {

// Paths from this length on are given the "\\?\" form (248 leaves room for
// the 8.3 name Windows reserves below a directory).
inline constexpr std::size_t kLongPathThreshold = 248;

// For an absolute path of kLongPathThreshold characters or more:
// "C:\dir\..." -> "\\?\C:\dir\...", "\\server\share\..." ->
// "\\?\UNC\server\share\...", with '/' turned into '\'. Anything else
// (short, relative, already "\\?\" or "\\.\") comes back unchanged.
std::wstring ToExtendedLengthPath(const std::wstring& path);

}  // namespace norza::platform
