#include <QString>

#include <cstdio>
#include <memory>

#include "appshell.h"
#include "command_shell.h"
#include "updatelog.h"

namespace norza::tools {

CommandShell MakeCommandShell() {
  CommandShell shell;
  shell.claimGuard = [](std::string* why) {
    // Held until the process ends, as the window holds it.
    static std::unique_ptr<SingleInstanceGuard> guard;
    guard = std::make_unique<SingleInstanceGuard>(QStringLiteral("CALVUD"));
    const GuardOutcome outcome = guard->claim();
    if (updaterGoesOn(outcome)) {
      if (!guard->note().isEmpty()) {
        std::fprintf(stderr, "norza-link: %s\n", guard->note().toLocal8Bit().constData());
        UpdateLog::instance().write(guard->note());
      }
      return true;
    }
    *why = guard->note().toStdString();
    if (why->empty()) *why = "another updater of this user is running; it holds the calculators";
    UpdateLog::instance().write(QStringLiteral("norza-link update: ") + guard->note());
    return false;
  };
  shell.log = [](const std::string& line) {
    UpdateLog::instance().write(QString::fromStdString(line));
  };
  return shell;
}

}  // namespace norza::tools
