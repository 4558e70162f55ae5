// Claims a single-instance key the way the updater does and reports it on
// stdout: "held" (then keeps the key until stdin closes) or "refused".
#include <QCoreApplication>

#include <cstdio>

#include "appshell.h"

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 2) return 2;
  SingleInstanceGuard guard(QString::fromLocal8Bit(argv[1]));
  if (!guard.claim()) {
    std::puts("refused");
    return 0;
  }
  std::puts("held");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
