// Whether standard output is a terminal (for live lines), one file per
// platform.
#pragma once

namespace norza::tools {
bool StdoutIsTerminal();
}  // namespace norza::tools
