#include <io.h>

#include <cstdio>

#include "terminal.h"

namespace norza::tools {
bool StdoutIsTerminal() { return ::_isatty(::_fileno(stdout)) != 0; }
}  // namespace norza::tools
