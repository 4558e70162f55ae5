// End to end inside the process, with the real worker and link against
// in-memory calculators: the no-updates path followed by a folder chosen
// with Browse, and closing the window from its title bar (refused while a
// transfer runs). A whole update in a real process is in e2e_test.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "app_test_util.h"
#include "dialog_fixture.h"

namespace {

// Holds the pauses of the worker and the writer threads (never the GUI
// thread's) while a test arranges what it needs: every pause, or only those
// of one length, and lets them go all at once or one at a time.
class PauseGate {
 public:
  static constexpr int kEvery = -1;
  // Holds every pause, or only those of this length, from now on.
  static void close(int milliseconds = kEvery) {
    {
      std::lock_guard<std::mutex> guard(state().lock);
      state().holding = true;
      state().length = milliseconds;
      state().tickets = 0;
      state().held = 0;
    }
    state().changed.notify_all();
    norza::SetPauseObserver(&wait);
  }
  static void open() {
    {
      std::lock_guard<std::mutex> guard(state().lock);
      state().holding = false;
    }
    state().changed.notify_all();
  }
  // Lets one held pause go on (or the next one, when none is held yet).
  static void letOneGo() {
    {
      std::lock_guard<std::mutex> guard(state().lock);
      ++state().tickets;
    }
    state().changed.notify_all();
  }
  // Waits until the count-th pause since close() is being held.
  static bool waitUntilHeld(int count = 1) {
    std::unique_lock<std::mutex> guard(state().lock);
    return state().changed.wait_for(guard, std::chrono::seconds(20),
                                    [count] { return state().held >= count; });
  }
  static void remove() {
    open();
    norza::SetPauseObserver(nullptr);
  }

 private:
  struct State {
    std::mutex lock;
    std::condition_variable changed;
    bool holding = false;
    int length = kEvery;
    int tickets = 0;
    int held = 0;
  };
  static State& state() {
    static State instance;
    return instance;
  }
  static bool holds(const State& s, int milliseconds) {
    return s.holding && (s.length == kEvery || s.length == milliseconds);
  }
  static void wait(int milliseconds) {
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) return;
    State& s = state();
    std::unique_lock<std::mutex> guard(s.lock);
    if (!holds(s, milliseconds)) return;
    ++s.held;
    s.changed.notify_all();
    s.changed.wait(guard, [&] { return !holds(s, milliseconds) || s.tickets > 0; });
    if (holds(s, milliseconds)) --s.tickets;
  }
};

// Answers the folder chooser once it is shown: with a folder, or cancels.
void answerChooser(const QString& folder) {
  QTimer::singleShot(0, [folder] {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
      auto* chooser = qobject_cast<QFileDialog*>(widget);
      if (chooser == nullptr || !chooser->isVisible()) continue;
      if (folder.isEmpty()) {
        chooser->reject();
      } else {
        chooser->setDirectory(folder);
        QMetaObject::invokeMethod(chooser, "accept");
      }
      return;
    }
    answerChooser(folder);  // not shown yet
  });
}

// Qt's complaints about threads (a thread destroyed while running, a wait
// on itself) while it lives, from whichever thread they come.
class ThreadWarnings {
 public:
  ThreadWarnings() { previous_ = qInstallMessageHandler(&record); }
  ~ThreadWarnings() { qInstallMessageHandler(previous_); }
  ThreadWarnings(const ThreadWarnings&) = delete;
  ThreadWarnings& operator=(const ThreadWarnings&) = delete;
  static QStringList seen() {
    std::lock_guard<std::mutex> guard(lock());
    return texts();
  }

 private:
  static void record(QtMsgType, const QMessageLogContext&, const QString& text) {
    if (!text.contains(QStringLiteral("QThread"))) return;
    std::lock_guard<std::mutex> guard(lock());
    texts() << text;
  }
  static std::mutex& lock() {
    static std::mutex m;
    return m;
  }
  static QStringList& texts() {
    static QStringList list;
    return list;
  }
  QtMessageHandler previous_;
};

void expectImagesOn(const norza::emu::MemoryBackend& backend, const std::string& name,
                    const std::vector<apptest::ImageFile>& files) {
  for (const apptest::ImageFile& file : files) {
    EXPECT_EQ(backend.DiskBytes(name, file.offset, static_cast<std::size_t>(file.bytes.size())),
              apptest::toVector(file.bytes))
        << name << " " << file.name.toStdString();
  }
}

int finishCommands(const norza::emu::MemoryBackend& backend, const std::string& name) {
  int n = 0;
  for (const auto& event : backend.Journal(name)) n += event.name == "CMD_FINISH" ? 1 : 0;
  return n;
}

class UpdateInProcess : public DialogTest {
 protected:
  void SetUp() override {
    DialogTest::SetUp();
    norza::SetPaceScale(0.001);
    ASSERT_TRUE(QDir().mkpath(path("fw")));
    ASSERT_TRUE(QDir().mkpath(path("empty")));
    PauseGate::close();
  }
  void TearDown() override {
    PauseGate::remove();
    DialogTest::TearDown();
  }
  std::vector<apptest::ImageFile> files_;
};

TEST_F(UpdateInProcess, BrowseAfterNoUpdatesLeadsToAWorkingUpdate) {
  files_ = apptest::writeImageSet(path("fw"), false, 21);
  backend_.AddCalculator("alpha", 8 << 20);
  CCalcFWUpdateMSDialog* d = make(path("empty"), 1, /*quiet=*/false);
  d->show();
  d->discoverImageSet();
  PauseGate::open();
  ASSERT_FALSE(d->browseButton->isHidden());
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("No updates are available"));

  // Cancelling the chooser changes nothing.
  answerChooser(QString());
  d->browseButton->click();
  EXPECT_EQ(d->workFolder, path("empty"));
  EXPECT_FALSE(d->browseButton->isHidden());
  EXPECT_TRUE(d->progressBar->isHidden());

  answerChooser(path("fw"));
  d->browseButton->click();
  EXPECT_EQ(QDir(d->workFolder), QDir(path("fw")));
  EXPECT_TRUE(d->browseButton->isHidden());
  EXPECT_FALSE(d->progressBar->isHidden());
  EXPECT_FALSE(d->cancelButton->isHidden());
  ASSERT_EQ(d->imageList.size(), 3);

  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Done"));
  expectImagesOn(backend_, "alpha", files_);
  // Only after Done: the failed scan wrote nothing and finished nothing.
  EXPECT_EQ(finishCommands(backend_, "alpha"), 1);
}

TEST_F(UpdateInProcess, TitleBarCloseWhileWaitingEndsWithZeroJoinsTheWorkerAndSendsNoFinish) {
  files_ = apptest::writeImageSet(path("fw"), false, 41);
  backend_.AddCalculator("alpha", 8 << 20);
  ThreadWarnings warnings;
  CCalcFWUpdateMSDialog* d = make(path("fw"), 1, /*quiet=*/false);
  // Connected ahead of the entry point's handler: once the loop is ending,
  // the held countdown step may go on, and the stop it meets is already up.
  QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, d, [d] {
    d->worker->stopRequested.store(true);
    PauseGate::open();
  });
  d->shutdownWorkerOnQuit();
  d->show();
  d->discoverImageSet();
  QueuedCounter found(d->worker, &CUpdateWorker::foundDevice);
  PauseGate::letOneGo();  // the first poll finds alpha; the pause after foundDevice holds
  ASSERT_TRUE(found.wait());
  ASSERT_EQ(d->startCountdownMs.load(), 5250);
  PauseGate::close(1000);  // on to the first countdown step, which holds
  ASSERT_TRUE(PauseGate::waitUntilHeld());
  QCoreApplication::processEvents();
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Waiting to start\u2026"));
  EXPECT_EQ(d->cancelButton->text(), QStringLiteral("Start - 4"));
  ASSERT_FALSE(d->transferActive.load());

  bool closed = false;
  // QWidget::close is what the title bar's close button does.
  QTimer::singleShot(0, d, [d, &closed] { closed = d->close(); });
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(d->isVisible());
  // Stopped and joined as the loop ended, without a transfer.
  EXPECT_TRUE(d->workerThread->isFinished());
  EXPECT_EQ(d->worker->loopsEnded.load(), 1);
  EXPECT_FALSE(d->worker->transferStarted.load());
  // endUpdate did not run: no finishing command, the progress bar still shown.
  EXPECT_EQ(finishCommands(backend_, "alpha"), 0);
  EXPECT_FALSE(d->progressBar->isHidden());
  dialog_.reset();
  EXPECT_TRUE(ThreadWarnings::seen().isEmpty()) << ThreadWarnings::seen().join('\n').toStdString();
}

TEST_F(UpdateInProcess, CloseDuringATransferIsRefusedAndTheUpdateGoesOnToDone) {
  files_ = apptest::writeImageSet(path("fw"), false, 43);
  backend_.AddCalculator("alpha", 8 << 20);
  CCalcFWUpdateMSDialog* d = make(path("fw"), 1, /*quiet=*/false);
  d->shutdownWorkerOnQuit();
  d->show();
  d->discoverImageSet();
  // The writer thread's first pause: the worker is inside DownloadImage.
  PauseGate::close(100);
  ASSERT_TRUE(PauseGate::waitUntilHeld());
  ASSERT_TRUE(d->transferActive.load());

  bool closed = true;
  bool visible = false;
  QTimer::singleShot(0, d, [&] {
    closed = d->close();
    visible = d->isVisible();
    PauseGate::open();
  });
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_FALSE(closed);
  EXPECT_TRUE(visible);
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Done"));
  expectImagesOn(backend_, "alpha", files_);
  EXPECT_EQ(finishCommands(backend_, "alpha"), 1);
  EXPECT_TRUE(d->workerThread->isFinished());
}

}  // namespace
