// Entry point of the updater: one instance per user, the optional folder and
// language from the command line, the dialog, the image set scan, the loop.
#include <QApplication>

#include <cstdio>

#include "appshell.h"
#include "calcfwupdatemsdialog.h"
#include "emulator_backend.h"
#include "updatelog.h"

int main(int argc, char* argv[]) {
  norza::emu::UseEmulatedCalculatorsIfConfigured();
  // --help, --version and a folder without its language are answered before
  // anything needs a display.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
  const EarlyAnswer early = earlyAnswer(arguments);
  if (early != EarlyAnswer::None) {
    const QByteArray text = earlyAnswerText(early, QStringLiteral("norza-updater")).toLocal8Bit();
    std::fputs(text.constData(), early == EarlyAnswer::LanguageMissing ? stderr : stdout);
    return early == EarlyAnswer::LanguageMissing ? 2 : 0;
  }

  // The guard comes before the application: a start that gives way needs no
  // display, and without XDG_RUNTIME_DIR the guard points Qt's runtime folder
  // at this user's checked folder before Qt looks for one.
  SingleInstanceGuard guard(QStringLiteral("CALVUD"));
  const GuardOutcome outcome = guard.claim();
  if (!guard.note().isEmpty()) {
    std::fputs((QStringLiteral("norza-updater: ") + guard.note() + QLatin1Char('\n'))
                   .toLocal8Bit()
                   .constData(),
               stderr);
    UpdateLog::instance().write(guard.note());
  }
  if (outcome == GuardOutcome::AnotherRuns) return 0;
  if (outcome == GuardOutcome::Refused) return kExitLockRefused;

  // Scale to the screen's pixel density (Qt 5 leaves it off) with pictures
  // to match; both only take effect when set before the application exists.
  QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
  QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
  QApplication application(argc, argv);
  // The desktop entry's id: the window's app id on Wayland, so docks show
  // the entry's name and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("com.zk.NorzaUpdater"));
  QCoreApplication::setApplicationVersion(updaterVersion());

  const CommandLine line = parseCommandLine(QCoreApplication::arguments());
  new CCalcFWUpdateMSDialog(line.folder, line.number);
  // However the loop ends, the worker's thread is stopped and joined before
  // the process goes, so no link call is cut in half.
  currentDialog->shutdownWorkerOnQuit();

  QApplication::setActiveWindow(currentDialog.get());
  currentDialog->show();
  currentDialog->discoverImageSet();
  return QApplication::exec();
}
