// Entry point of the updater: one instance per user, the optional folder and
// language from the command line, the dialog, the image set scan, the loop.
#include <QApplication>

#include "appshell.h"
#include "calcfwupdatemsdialog.h"

int main(int argc, char* argv[]) {
  QApplication application(argc, argv);
  SingleInstanceGuard guard(QStringLiteral("CALVUD"));
  if (!guard.claim()) return 0;

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
