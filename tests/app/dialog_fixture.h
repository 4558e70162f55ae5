// A dialog against in-memory calculators, its worker stopped unless a test
// wants it running.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>

#include <memory>

#include "calcfwupdatemsdialog.h"
#include "emulator_backend.h"
#include "pacing.h"
#include "platform.h"
#include "updateworker.h"

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
    ASSERT_TRUE(QMetaObject::invokeMethod(dialog_.get(), slot, Qt::DirectConnection, args...)) << slot;
  }

  QString path(const QString& name) const { return temp_.filePath(name); }

  QTemporaryDir temp_;
  norza::emu::MemoryBackend backend_;
  std::unique_ptr<CCalcFWUpdateMSDialog> dialog_;
};
