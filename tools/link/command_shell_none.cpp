#include "command_shell.h"

namespace norza::tools {

CommandShell MakeCommandShell() {
  CommandShell shell;
  shell.claimGuard = [](std::string* why) {
    *why = "this norza-link was built without the updater's guard (no Qt): it cannot run an update";
    return false;
  };
  return shell;
}

}  // namespace norza::tools
