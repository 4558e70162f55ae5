// A dialog against in-memory calculators, its worker stopped unless a test
// wants it running.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <QMetaObject>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>

#include "calcfwupdatemsdialog.h"
#include "memory_backend.h"
#include "pacing.h"
#include "platform.h"
#include "updateworker.h"

// Counts a signal on the GUI thread, queued from whichever thread emits it
// (QSignalSpy records on the emitting thread, which races with the test).
class QueuedCounter : public QObject {
 public:
  template <typename Sender, typename Signal>
  QueuedCounter(const Sender* sender, Signal signal) {
    connect(
        sender, signal, this,
        [this] {
          ++count;
          loop_.quit();
        },
        Qt::QueuedConnection);
  }
  // Runs the event loop until one more arrives; false after the timeout.
  bool wait(int milliseconds = 20000) {
    const int before = count;
    QTimer timeout;
    timeout.setSingleShot(true);
    connect(&timeout, &QTimer::timeout, &loop_, &QEventLoop::quit);
    timeout.start(milliseconds);
    loop_.exec();
    return count > before;
  }
  int count = 0;

 private:
  QEventLoop loop_;
};

// Runs the application's loop until something ends it; 99 if nothing does.
inline int runUntilExit() {
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  watchdog.start(60000);
  return QCoreApplication::exec();
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.isValid());
    norza::SetPaceScale(0);
    norza::platform::SetBackendForTesting(&backend_);
  }
  void TearDown() override {
    dialog_.reset();
    norza::SetPaceScale(0);
    norza::platform::SetBackendForTesting(nullptr);
  }

  // quiet: the worker is stopped and joined at once, so only the test
  // drives the slots. Signals it emitted meanwhile stay queued until the
  // test processes events.
  CCalcFWUpdateMSDialog* make(const QString& folder, int language = 1, bool quiet = true) {
    dialog_.reset();
    dialog_ = std::make_unique<CCalcFWUpdateMSDialog>(folder, language);
    if (quiet) {
      dialog_->shutdownWorker();
      // Cleared again so a test sees the stop that endUpdate asks for.
      dialog_->worker->stopRequested.store(false);
    }
    return dialog_.get();
  }

  // Runs a private slot as the connection would.
  template <typename... Args>
  void call(const char* slot, Args... args) {
    ASSERT_TRUE(QMetaObject::invokeMethod(dialog_.get(), slot, Qt::DirectConnection, args...))
        << slot;
  }

  QString path(const QString& name) const { return temp_.filePath(name); }

  QTemporaryDir temp_;
  norza::emu::MemoryBackend backend_;
  std::unique_ptr<CCalcFWUpdateMSDialog> dialog_;
};
