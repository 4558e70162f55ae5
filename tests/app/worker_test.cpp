// The update worker's signal and pause sequences against in-memory
// calculators, with the pacing switched off and the pauses observed.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "app_test_util.h"
#include "memory_backend.h"
#include "link.h"
#include "pacing.h"
#include "platform.h"
#include "updatehost.h"
#include "updatelog.h"
#include "updateworker.h"

namespace {

// What the dialog's scan would hand the worker for an image file.
ImageFileFacts examined(const QString& path) {
  ImageFileFacts facts;
  ExamineImageFile(path.toStdWString().c_str(), &facts);
  return facts;
}

using apptest::EventLog;
using Events = std::vector<std::string>;

std::atomic<EventLog*> g_log{nullptr};
std::atomic<std::thread::id> g_workerThread{};
std::atomic<int> g_throwOnPause{-1};
std::atomic<CUpdateWorker*> g_stopDuringFailurePause{nullptr};

// Only the worker's own pauses are part of its sequence; the writer threads
// pause too.
void observePause(int milliseconds) {
  if (std::this_thread::get_id() != g_workerThread.load()) return;
  if (milliseconds == g_throwOnPause.load()) throw std::runtime_error("pause refused");
  if (CUpdateWorker* worker = g_stopDuringFailurePause.load(); worker && milliseconds == 3000) {
    worker->requestStop();  // what the dialog's endUpdate does meanwhile
  }
  if (EventLog* log = g_log.load()) log->add("pause " + std::to_string(milliseconds));
}

// Stands in for the dialog: the two shared fields and the two signals the
// link callbacks emit.
class FakeHost : public UpdateHost {
 public:
  explicit FakeHost(EventLog& log) : log_(log) {}
  std::atomic<int32_t> countdown{0};
  std::atomic<bool> active{false};
  bool lowerCountdown(int32_t step) override { return LowerCountdown(countdown, step); }
  void transferBegins() override { active.store(true); }
  void emitUpdateProgress(int percent) override { log_.add("progress " + std::to_string(percent)); }
  void emitUpdateMessage(const wchar_t* text) override {
    log_.add("message " + QString::fromWCharArray(text).toStdString());
  }

 private:
  EventLog& log_;
};

class WorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(images_.isValid());
    norza::SetPaceScale(0);
    g_log.store(&log_);
    g_throwOnPause.store(-1);
    g_stopDuringFailurePause.store(nullptr);
    norza::SetPauseObserver(&observePause);
    norza::platform::SetBackendForTesting(&backend_);
    currentDialog.set(nullptr, &host_);
    imagePath_ = images_.filePath("MASTER.DAT");
    ASSERT_TRUE(apptest::writeFile(imagePath_, apptest::patternBytes(65536, 7)));
    worker_.armTransfer(QDir::toNativeSeparators(imagePath_), 0x100000,
                        examined(QDir::toNativeSeparators(imagePath_)));

    // Direct connections: recorded on the worker's thread, in emission order.
    QObject::connect(
        &worker_, &CUpdateWorker::foundDevice, &worker_,
        [this] {
          log_.add("found");
          host_.countdown.store(5250);  // what the dialog's onFoundDevice does
        },
        Qt::DirectConnection);
    QObject::connect(
        &worker_, &CUpdateWorker::waitingStart, &worker_, [this] { log_.add("start"); },
        Qt::DirectConnection);
    QObject::connect(
        &worker_, &CUpdateWorker::downloadActive, &worker_, [this] { log_.add("active"); },
        Qt::DirectConnection);
    QObject::connect(
        &worker_, &CUpdateWorker::downloadInactive, &worker_, [this] { log_.add("inactive"); },
        Qt::DirectConnection);
    QObject::connect(
        &worker_, &CUpdateWorker::waitingTicks, &worker_,
        [this](int ticks) { log_.add("ticks " + std::to_string(ticks)); }, Qt::DirectConnection);
    QObject::connect(
        &worker_, &CUpdateWorker::updaterRan, &worker_,
        [this](int code) { log_.add("ran " + std::to_string(code)); }, Qt::DirectConnection);
  }

  void TearDown() override {
    stop();
    norza::SetPauseObserver(nullptr);
    g_log.store(nullptr);
    norza::platform::SetBackendForTesting(nullptr);
    currentDialog.set(nullptr, nullptr);
  }

  void start() {
    thread_ = std::thread([this] {
      g_workerThread.store(std::this_thread::get_id());
      worker_.process();
      log_.add("returned");
    });
  }
  void stop() {
    worker_.requestStop();
    if (thread_.joinable()) thread_.join();
  }

  // The events from the first occurrence of `from` on, without pauses.
  static Events signalsOnly(const Events& events) {
    Events out;
    for (const std::string& e : events) {
      if (e.rfind("pause", 0) != 0) out.push_back(e);
    }
    return out;
  }

  std::string message() const {
    return "message " + QDir::toNativeSeparators(imagePath_).toStdString();
  }

  QTemporaryDir images_;
  QString imagePath_;
  EventLog log_;
  FakeHost host_{log_};
  norza::emu::MemoryBackend backend_;
  CUpdateWorker worker_;
  std::thread thread_;
};

TEST_F(WorkerTest, CalculatorFoundAfterTwoPollsGetsCountdownTransferAndIdles) {
  norza::emu::Faults faults;
  faults.appearAfterPolls = 2;
  backend_.AddCalculator("alpha", 8 << 20, faults);
  start();
  ASSERT_TRUE(log_.waitFor([](const Events& events) {
    // Idle in state 3 after the transfer: its 250 ms pauses follow.
    return apptest::countOf(events, "inactive") == 1 && events.back() == "pause 250" &&
           apptest::countOf(events, "pause 250") >= 3;
  }));
  stop();
  Events expected = {"pause 500", "ticks 1",   "pause 500", "ticks 2",  "pause 500",
                     "found",     "pause 500", "ticks 3",   "pause 500"};
  for (int i = 0; i < 6; ++i) {
    expected.push_back("start");
    expected.push_back("pause 1000");
  }
  for (const char* e : {"active", "pause 250"}) expected.push_back(e);
  expected.push_back(message());
  for (const char* e : {"progress 0", "progress 25", "progress 50", "progress 75", "progress 100",
                        "ran 0", "inactive", "pause 100", "pause 250"}) {
    expected.push_back(e);
  }
  const Events events = log_.events();
  ASSERT_GE(events.size(), expected.size());
  EXPECT_EQ(Events(events.begin(), events.begin() + static_cast<long>(expected.size())), expected);
  EXPECT_EQ(worker_.state.load(), CUpdateWorker::StateIdle);
  EXPECT_EQ(worker_.lastResult.load(), 0);
  EXPECT_TRUE(worker_.transferStarted.load());
  EXPECT_TRUE(host_.active.load());  // only the dialog clears it
  EXPECT_EQ(host_.countdown.load(), 0);
  EXPECT_EQ(worker_.retryCount.load(), 0);  // the dialog's business
  EXPECT_EQ(backend_.DiskBytes("alpha", 0x100000, 65536),
            apptest::toVector(apptest::patternBytes(65536, 7)));
}

TEST_F(WorkerTest, StartPressedDuringCountdownLeavesOneMoreStep) {
  backend_.AddCalculator("alpha", 8 << 20);
  QObject::connect(
      &worker_, &CUpdateWorker::waitingStart, &worker_,
      [this] {
        if (apptest::countOf(log_.events(), "start") == 1)
          host_.countdown.store(1000);  // the press
      },
      Qt::DirectConnection);
  start();
  ASSERT_TRUE(log_.waitForEvent("inactive"));
  stop();
  const Events events = signalsOnly(log_.events());
  const Events head(events.begin(), events.begin() + 5);
  EXPECT_EQ(head, (Events{"found", "ticks 1", "start", "start", "active"}));
  EXPECT_EQ(apptest::countOf(events, "start"), 2);
  EXPECT_EQ(host_.countdown.load(), 0);
}

TEST_F(WorkerTest, FailureIsRetriedWhenTheCalculatorIsBackWithoutCountdown) {
  norza::emu::Faults faults;
  faults.failWrites = 7;  // one chunk fails all its attempts: 112
  backend_.AddCalculator("alpha", 8 << 20, faults);
  std::atomic<int> ticksAfterFailure{0};
  QObject::connect(
      &worker_, &CUpdateWorker::updaterRan, &worker_,
      [this](int code) {
        if (code == 0) return;
        backend_.Remove("alpha");  // unplugged after the failure
        worker_.armTransfer(QDir::toNativeSeparators(imagePath_), 0x100000,
                            examined(QDir::toNativeSeparators(imagePath_)));  // the dialog's retry
      },
      Qt::DirectConnection);
  QObject::connect(
      &worker_, &CUpdateWorker::waitingTicks, &worker_,
      [&](int) {
        if (worker_.transferStarted.load() && ++ticksAfterFailure == 2) backend_.Replug("alpha");
      },
      Qt::DirectConnection);
  start();
  ASSERT_TRUE(log_.waitForEvent("ran 0"));
  stop();
  const Events events = log_.events();
  const auto failed = std::find(events.begin(), events.end(), "ran 112");
  ASSERT_NE(failed, events.end());
  Events expected = {"ran 112",      "inactive",   "pause 100",   "pause 3000",  "ticks 2",
                     "pause 500",    "ticks 3",    "pause 500",   "active",      "pause 250",
                     message(),      "progress 0", "progress 25", "progress 50", "progress 75",
                     "progress 100", "ran 0"};
  ASSERT_GE(events.end() - failed, static_cast<long>(expected.size()));
  EXPECT_EQ(Events(failed, failed + static_cast<long>(expected.size())), expected);
  EXPECT_EQ(apptest::countOf(events, "found"), 1);
  EXPECT_EQ(apptest::countOf(events, "start"), 6);
}

TEST_F(WorkerTest, StopDuringTheFailurePauseEndsWithoutAnotherPass) {
  norza::emu::Faults faults;
  faults.failWrites = 7;
  backend_.AddCalculator("alpha", 8 << 20, faults);
  std::atomic<int> passesAtFailure{-1};
  QObject::connect(
      &worker_, &CUpdateWorker::updaterRan, &worker_,
      [&](int) { passesAtFailure.store(backend_.DiscoveryPasses()); }, Qt::DirectConnection);
  g_stopDuringFailurePause.store(&worker_);
  start();
  ASSERT_TRUE(log_.waitForEvent("returned"));
  const Events events = log_.events();
  const Events tail(events.end() - 5, events.end());
  EXPECT_EQ(tail, (Events{"ran 112", "inactive", "pause 100", "pause 3000", "returned"}));
  EXPECT_EQ(backend_.DiscoveryPasses(), passesAtFailure.load());
  EXPECT_EQ(worker_.state.load(), CUpdateWorker::StateWaiting);
  EXPECT_EQ(worker_.lastResult.load(), 112);
}

TEST_F(WorkerTest, TicksWrapFromFourToZeroWhileNothingIsAttached) {
  QObject::connect(
      &worker_, &CUpdateWorker::waitingTicks, &worker_,
      [this](int) {
        if (apptest::countOf(log_.events(), "ticks 2") == 2) worker_.stopRequested.store(true);
      },
      Qt::DirectConnection);
  start();
  ASSERT_TRUE(log_.waitForEvent("returned"));
  EXPECT_EQ(signalsOnly(log_.events()), (Events{"ticks 1", "ticks 2", "ticks 3", "ticks 4",
                                                "ticks 0", "ticks 1", "ticks 2", "returned"}));
  EXPECT_EQ(worker_.tickCount.load(), 2);
  EXPECT_FALSE(worker_.transferStarted.load());
}

TEST_F(WorkerTest, NextImageStartsAtOnceWhenTheDialogSetsTransferState) {
  backend_.AddCalculator("alpha", 8 << 20);
  const QString second = images_.filePath("KORVAARM.ROM");
  ASSERT_TRUE(apptest::writeFile(second, apptest::patternBytes(16384, 9)));
  QObject::connect(
      &worker_, &CUpdateWorker::updaterRan, &worker_,
      [&](int) {
        if (apptest::countOf(log_.events(), "ran 0") == 1) {
          worker_.armTransfer(QDir::toNativeSeparators(second), 0,
                              examined(QDir::toNativeSeparators(second)));
          worker_.state.store(CUpdateWorker::StateTransfer);
        }
      },
      Qt::DirectConnection);
  start();
  ASSERT_TRUE(log_.waitForEvent("ran 0", 2));
  stop();
  const Events events = log_.events();
  const auto first = std::find(events.begin(), events.end(), "ran 0");
  const Events tail(first, first + 7);
  EXPECT_EQ(tail, (Events{"ran 0", "inactive", "pause 100",
                          "message " + QDir::toNativeSeparators(second).toStdString(), "progress 0",
                          "progress 100", "ran 0"}));
  EXPECT_EQ(apptest::countOf(events, "active"), 1);
  EXPECT_EQ(backend_.DiskBytes("alpha", 0, 16384),
            apptest::toVector(apptest::patternBytes(16384, 9)));
}

// The worker runs only what the dialog armed, however late the dialog is:
// nothing before the first arm, and exactly six transfers for six failures.
TEST_F(WorkerTest, NoTransferRunsUntilTheDialogArmsIt) {
  norza::emu::Faults faults;
  faults.failWrites = 1000;
  backend_.AddCalculator("alpha", 8 << 20, faults);
  CUpdateWorker late;  // not armed yet: the dialog has not found its images
  QObject::connect(
      &late, &CUpdateWorker::updaterRan, &late,
      [this](int code) { log_.add("ran " + std::to_string(code)); }, Qt::DirectConnection);
  QObject::connect(
      &late, &CUpdateWorker::downloadActive, &late, [this] { log_.add("active"); },
      Qt::DirectConnection);
  std::thread thread([&] {
    g_workerThread.store(std::this_thread::get_id());
    late.process();
  });
  ASSERT_TRUE(log_.waitForEvent("pause 500"));
  const QString path = QDir::toNativeSeparators(imagePath_);
  late.armTransfer(path, 0x100000, examined(path));
  for (int failures = 1; failures <= 6; ++failures) {
    ASSERT_TRUE(log_.waitForEvent("ran 112", failures));
    if (failures < 6) late.armTransfer(path, 0x100000, examined(path));  // the dialog's retry, late
  }
  // Back from the failure pause and through the countdown: it would start a
  // seventh transfer now if it did not wait for an arm.
  ASSERT_TRUE(log_.waitForEvent("active", 7));
  late.requestStop();
  thread.join();
  const Events events = log_.events();
  const auto transfers = std::count_if(
      events.begin(), events.end(), [](const std::string& e) { return e.rfind("ran ", 0) == 0; });
  EXPECT_EQ(transfers, 6);
  EXPECT_EQ(apptest::countOf(events, "ran 112"), 6) << "none ran before the image was known";
  int opens = 0;
  for (const auto& e : backend_.Journal("alpha")) opens += e.event == "open";
  EXPECT_EQ(opens, 6);
}

// After a failure the wait for the calculator is bounded: six empty polls,
// then the step runs and fails with 104, so a calculator that never comes
// back uses up the retries instead of leaving the window waiting for good.
TEST_F(WorkerTest, ACalculatorThatNeverReturnsFailsTheRetryWith104) {
  norza::emu::Faults faults;
  faults.failWrites = 7;
  backend_.AddCalculator("alpha", 8 << 20, faults);
  QObject::connect(
      &worker_, &CUpdateWorker::updaterRan, &worker_,
      [this](int code) {
        if (code != LINK_WRITE_FAILED) return;
        backend_.Remove("alpha");  // gone for good
        worker_.armTransfer(QDir::toNativeSeparators(imagePath_), 0x100000,
                            examined(QDir::toNativeSeparators(imagePath_)));
      },
      Qt::DirectConnection);
  start();
  ASSERT_TRUE(log_.waitForEvent("ran 104"));
  stop();
  const Events events = signalsOnly(log_.events());
  const auto failed = std::find(events.begin(), events.end(), "ran 112");
  ASSERT_NE(failed, events.end());
  const Events tail(failed, std::find(failed, events.end(), "ran 104") + 1);
  // Six polls; the sixth goes on as if it had found the calculator.
  EXPECT_EQ(tail, (Events{"ran 112", "inactive", "ticks 2", "ticks 3", "ticks 4", "ticks 0",
                          "ticks 1", "active", "ran 104"}));
}

// The log stays within its bound: a line that would take the file past it
// first moves the file to .1, so however long the lines, neither file holds
// more than the bound.
TEST(UpdateLogTest, RotatesAtItsBound) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  UpdateLog log(dir.filePath("state/norza-updater/updater.log"), 1000);
  for (int i = 0; i < 100; ++i) {
    log.write(QStringLiteral("line %1 ").arg(i) + QString(40 + (i * 97) % 900, QLatin1Char('x')));
    ASSERT_LE(QFileInfo(log.path()).size(), 1000) << "after line " << i;
    ASSERT_LE(QFileInfo(log.path() + ".1").size(), 1000) << "after line " << i;
  }
  EXPECT_TRUE(QFileInfo::exists(log.path() + ".1"));
  EXPECT_TRUE(apptest::readFile(log.path()).contains("line 99 "));
  EXPECT_FALSE(QFileInfo::exists(log.path() + ".2"));
}

// Each write is one line: a control character in a name (a folder's, say)
// is escaped and cannot forge a line of its own, and a line past the cap is
// cut, never inside a character, and marked.
TEST(UpdateLogTest, EachWriteIsOneEscapedLineWithinTheCap) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  UpdateLog log(dir.filePath("updater.log"));
  log.write(QStringLiteral("image set in /fw/a\nb\r\t\x1b[2J\x7f") + QChar(0x2028) +
            QStringLiteral("2000-01-01T00:00:00.000 end: Done:"));
  log.write(QString(5000, QChar(0xE9)));
  QList<QByteArray> lines = apptest::readFile(log.path()).split('\n');
  ASSERT_EQ(lines.size(), 3);  // two lines and what follows the last newline
  for (QByteArray& line : lines) {
    if (line.endsWith('\r')) line.chop(1);  // Windows' text mode
  }
  EXPECT_TRUE(
      lines[0].endsWith("image set in /fw/a\\nb\\r\\t\\x1b[2J\\x7f\\u2028"
                        "2000-01-01T00:00:00.000 end: Done:"))
      << lines[0].toStdString();
  const QByteArray cut = lines[1].mid(lines[1].indexOf(' ') + 1);
  EXPECT_LE(cut.size(), UpdateLog::kMaxLineBytes);
  EXPECT_GT(cut.size(), UpdateLog::kMaxLineBytes - 16);
  EXPECT_TRUE(cut.endsWith(UpdateLog::kCutMark));
  EXPECT_FALSE(QString::fromUtf8(cut).contains(QChar::ReplacementCharacter));
}

TEST_F(WorkerTest, ExceptionInTheLoopEndsItWithResultMinusTwo) {
  backend_.AddCalculator("alpha", 8 << 20);
  g_throwOnPause.store(1000);  // the first countdown step throws
  start();
  ASSERT_TRUE(log_.waitForEvent("returned"));
  EXPECT_EQ(worker_.lastResult.load(), -2);
  EXPECT_EQ(signalsOnly(log_.events()), (Events{"found", "ticks 1", "start", "returned"}));
}

}  // namespace
