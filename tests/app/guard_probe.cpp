// Claims a single-instance key the way the updater does and reports it on
// stdout: "held" or "held without key" (then keeps the lock until stdin
// closes), "refused" (another holder runs) or "unsafe" (the lock's folder
// cannot be used), with the guard's note on stderr.
#include <QCoreApplication>

#include <cstdio>

#include "appshell.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 2) return 2;
  SingleInstanceGuard guard(QString::fromLocal8Bit(argv[1]));
  const GuardOutcome outcome = guard.claim();
  if (!guard.note().isEmpty()) std::fprintf(stderr, "%s\n", guard.note().toLocal8Bit().constData());
  switch (outcome) {
    case GuardOutcome::AnotherRuns: std::puts("refused"); return 0;
    case GuardOutcome::Refused: std::puts("unsafe"); return kExitLockRefused;
    case GuardOutcome::Held: std::puts("held"); break;
    case GuardOutcome::HeldWithoutKey: std::puts("held without key"); break;
  }
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
