// One QApplication for every test of the binary, on the offscreen platform,
// with the user's settings and documents folder out of reach.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdlib>

#include "pacing.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QTemporaryDir home;
  qputenv("HOME", home.path().toLocal8Bit());
  qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toLocal8Bit());
  qputenv("XDG_RUNTIME_DIR", (home.path()).toLocal8Bit());
  qputenv("XDG_STATE_HOME", (home.path() + "/state").toLocal8Bit());  // the updater's log
  QApplication application(argc, argv);
  QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, home.path() + "/config");
  norza::SetPaceScale(0);
  return RUN_ALL_TESTS();
}
