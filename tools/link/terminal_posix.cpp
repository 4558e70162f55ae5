#include <unistd.h>

#include "terminal.h"

namespace norza::tools {
bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }
}  // namespace norza::tools
