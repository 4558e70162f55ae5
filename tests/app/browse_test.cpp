// End to end inside the process: a whole update with the real worker and
// link against in-memory calculators, and the no-updates path followed by
// a folder chosen with Browse.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <condition_variable>
#include <mutex>

#include "app_test_util.h"
#include "dialog_fixture.h"

namespace {

// Holds the worker's pauses (never the GUI thread's) until opened, so a test
// can plug calculators in before the worker's first poll at any pace.
class PauseGate {
 public:
  static void close() {
    std::lock_guard<std::mutex> guard(lock());
    open_() = false;
    norza::SetPauseObserver(&wait);
  }
  static void open() {
    {
      std::lock_guard<std::mutex> guard(lock());
      open_() = true;
    }
    changed().notify_all();
  }
  static void remove() {
    open();
    norza::SetPauseObserver(nullptr);
  }

 private:
  static void wait(int) {
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) return;
    std::unique_lock<std::mutex> guard(lock());
    changed().wait(guard, [] { return open_(); });
  }
  static std::mutex& lock() {
    static std::mutex m;
    return m;
  }
  static std::condition_variable& changed() {
    static std::condition_variable c;
    return c;
  }
  static bool& open_() {
    static bool value = true;
    return value;
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

int runUntilExit() {
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  watchdog.start(60000);
  return QCoreApplication::exec();
}

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

TEST_F(UpdateInProcess, TwoCalculatorsGetAllThreeImagesThenDoneAndExit) {
  files_ = apptest::writeImageSet(path("fw"), true, 11);
  backend_.AddCalculator("alpha", 8 << 20);
  backend_.AddCalculator("beta", 8 << 20);
  CCalcFWUpdateMSDialog* d = make(path("fw"), 1, /*quiet=*/false);
  d->show();
  d->discoverImageSet();
  // The worker's first poll comes after the scan, as at real pace.
  QueuedCounter found(d->worker, &CUpdateWorker::foundDevice);
  PauseGate::open();
  EXPECT_EQ(runUntilExit(), 0);
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Done"));
  EXPECT_EQ(found.count, 1);
  EXPECT_EQ(d->cancelButton->text(), QStringLiteral("Start"));
  EXPECT_EQ(d->currentImage, 2);
  expectImagesOn(backend_, "alpha", files_);
  expectImagesOn(backend_, "beta", files_);
  EXPECT_EQ(finishCommands(backend_, "alpha"), 1);
  EXPECT_EQ(finishCommands(backend_, "beta"), 1);
}

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
  // One finishing command for the failed scan, one after Done.
  EXPECT_EQ(finishCommands(backend_, "alpha"), 2);
}

TEST_F(UpdateInProcess, AbortWhileWaitingStopsTheWorkerAndClosesTheWindow) {
  files_ = apptest::writeImageSet(path("fw"), false, 31);
  CCalcFWUpdateMSDialog* d = make(path("fw"), 1, /*quiet=*/false);
  d->show();
  d->discoverImageSet();
  PauseGate::open();
  QueuedCounter ticks(d->worker, &CUpdateWorker::waitingTicks);
  ASSERT_TRUE(ticks.wait(20000));
  QCoreApplication::processEvents();
  EXPECT_TRUE(d->statusLabel->text().startsWith(QStringLiteral("Waiting for connection")));
  d->cancelButton->click();
  EXPECT_EQ(d->statusLabel->text(), QStringLiteral("Update aborted"));
  EXPECT_FALSE(d->isVisible());
  d->shutdownWorker();  // returns: the loop saw the stop
  EXPECT_FALSE(d->workerThread->isRunning());
  EXPECT_FALSE(d->worker->transferStarted.load());
}

}  // namespace
