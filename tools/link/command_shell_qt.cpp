#include <QCoreApplication>
#include <QString>

#include <cstdio>
#include <memory>

#include "appshell.h"
#include "command_shell.h"
#include "update_desktop.h"
#include "updatelog.h"

namespace norza::tools {

CommandShell MakeCommandShell() {
  CommandShell shell;
  shell.claimGuard = [](std::string* why) {
    // Held until the process ends, as the window holds it.
    static std::unique_ptr<SingleInstanceGuard> guard;
    guard = std::make_unique<SingleInstanceGuard>(QStringLiteral("CALVUD"),
                                                  QLatin1String(kHolderCommand));
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
  // The desktop's buses need an application object; the command makes one
  // only when the update runs.
  static std::unique_ptr<QCoreApplication> application;
  static std::unique_ptr<norza::desktop::UpdateDesktop> desktop;
  shell.running = [] {
    static int argc = 1;
    static char name[] = "norza-link";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
      application = std::make_unique<QCoreApplication>(argc, argv);
    norza::desktop::Options options;
    options.who = QStringLiteral("norza-link");
    options.why =
        QStringLiteral("Calculators are being updated: sleeping now would leave them half-written");
    options.desktopId = QStringLiteral("com.zk.NorzaUpdater");
    desktop = std::make_unique<norza::desktop::UpdateDesktop>(std::move(options));
    desktop->running();
    if (!desktop->note().isEmpty()) UpdateLog::instance().write(desktop->note());
  };
  shell.progress = [](double fraction) {
    if (desktop) desktop->progress(fraction);
  };
  shell.ended = [](const std::string& summary, const std::string& body) {
    if (desktop) desktop->ended();
    desktop.reset();
    if (!summary.empty()) {
      norza::desktop::notifyDesktop(QStringLiteral("norza-link"), QStringLiteral("norza-updater"),
                                    QString::fromStdString(summary), QString::fromStdString(body));
    }
    // Gone before the process exits: Qt's own globals go first at exit.
    application.reset();
  };
  return shell;
}

}  // namespace norza::tools
