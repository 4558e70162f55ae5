// The shell norza-link update runs in: with Qt, the updater's own guard and
// log (command_shell_qt.cpp); without, no guard, so no update.
#pragma once

#include "update_command.h"

namespace norza::tools {
CommandShell MakeCommandShell();
}  // namespace norza::tools
