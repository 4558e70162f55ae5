// CUpdateWorker: waits for a calculator, counts down, runs each transfer
// through the link and reports by signals. Lives on its own QThread; its one
// slot, process(), is a polling loop that returns only when asked to stop.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "link.h"
#include "update_session.h"

// A value written by the GUI thread and read by the worker's thread, handed
// over under the worker's image lock.
template <typename T>
class LockedValue {
 public:
  explicit LockedValue(std::mutex& lock, T initial = T()) : lock_(lock), value_(initial) {}
  void set(const T& value) {
    std::lock_guard<std::mutex> guard(lock_);
    value_ = value;
  }
  T get() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
  }

 private:
  std::mutex& lock_;
  T value_;
};

class UpdateHost;

class CUpdateWorker : public QObject {
  Q_OBJECT

 public:
  enum State : int32_t {
    StateWaiting = 0,
    StateCountdown = 1,
    StateTransfer = 2,
    StateIdle = 3,
    StateFailed = 4,
  };

  // The worker's fixed pauses, each through norza::PauseMs. A countdown step
  // also lowers the dialog's countdown by its length.
  static constexpr int kStartPauseMs = 500;  // before the loop's first wait
  static constexpr int kPollIntervalMs =
      norza::session::kPollIntervalMs;               // between discovery polls
  static constexpr int kFoundPauseMs = 500;          // after the calculator appeared
  static constexpr int kCountdownStepMs = 1000;      // one step of the countdown
  static constexpr int kTransferStartPauseMs = 250;  // countdown over, before the first step
  static constexpr int kIdlePauseMs = 250;           // until the dialog arms the next step
  static constexpr int kFailurePauseMs =
      norza::session::kFailurePauseMs;  // after a failed step, before polling again
  static constexpr int kFinishPauseMs =
      norza::session::kFinishPauseMs;  // before the finishing command
  static constexpr int kAfterStepPauseMs =
      norza::session::kAfterStepPauseMs;  // after each step's report

  // host: the dialog it works for (nullptr: the one currentDialog names).
  explicit CUpdateWorker(UpdateHost* host = nullptr);
  ~CUpdateWorker() override;

  // Thread ownership: every field below is written by the worker's thread or
  // the GUI thread (see each); the atomics need no further lock.
  std::atomic<bool> transferStarted{false};  // worker
  std::atomic<bool> stopRequested{false};    // GUI sets, worker reads (resume: GUI clears)
  std::atomic<int32_t> state{StateWaiting};  // worker; GUI stores 2 (next image) or 0 (resume)
  std::atomic<int32_t> tickCount{0};         // worker
  std::atomic<int32_t> retryCount{0};        // GUI only; atomic for the tests' reads
  std::atomic<int32_t> lastResult{0};        // worker writes, GUI reads
  // Released by process() as it returns. Whoever joined the worker's thread
  // acquires it, so the join is also visible to race detectors, which cannot
  // see into Qt's own wait.
  std::atomic<int32_t> loopsEnded{0};

 private:
  mutable std::mutex imageLock_;

 public:
  // Written by the GUI thread while no transfer runs, read in state 2.
  LockedValue<QString> imagePath{imageLock_};
  LockedValue<int64_t> targetOffset{imageLock_, 0};
  // What the scan found the file to be: it is sent only while it still is.
  LockedValue<ImageFileFacts> imageFacts{imageLock_};

  // GUI thread: what the worker runs next in state 2. The worker runs a step
  // only once it is armed, and each armed step once, so it never starts a
  // transfer the dialog has not asked for, however late the dialog handles
  // the previous result. The loop starts polling only after the first arm.
  void armTransfer(const QString& path, int64_t offset, const ImageFileFacts& facts);
  // The finishing step: tells these calculators (every one of the update)
  // that the update is over, and nobody when another is attached.
  void armFinish(const std::vector<std::wstring>& calculators);

  // What the link told, in order: every discovery pass of the polls and of
  // the steps, and each step's report. The worker's thread adds them; the
  // dialog takes them when it handles the step's result.
  struct LinkEvent {
    std::vector<std::wstring> pass;  // a pass: what it listed
    bool step = false;               // or a step's report
    LinkReport report;
  };
  // Worker thread (tests too): events in the order they happened.
  void noteEvents(std::vector<LinkEvent> events);
  // GUI thread: the events up to and including the next step's report.
  std::vector<LinkEvent> takeStepEvents();
  // GUI thread: a step the link did without a failure failed for the
  // update (a calculator of it was not there): the worker pauses and polls as
  // after any failure before it runs the next armed step.
  void failedForTheUpdate();
  // GUI thread: ends the loop at its next check and withdraws an armed step;
  // wakes a worker that waits for one.
  void requestStop();

  // GUI thread: lets a stopped worker run its loop again from state 0 (after
  // a new folder was chosen). If the old loop has not yet seen the stop, it
  // simply goes on; the extra queued process() then ends at once on the next
  // stop.
  void resume();

 signals:
  void finished();
  void foundDevice();
  void waitingStart();
  void downloadActive();
  void downloadInactive();
  void waitingTicks(int);
  void updaterRan(int);

 public slots:
  void process();

 private:
  enum class Step { None, Transfer, Finish };
  // Worker thread: waits until a step is armed or a stop is asked; takes the
  // step (Step::None on a stop).
  Step takeArmedStep(QString* path, int64_t* offset, ImageFileFacts* facts,
                     std::vector<std::wstring>* finishing);
  // One step through the link; its report is noted as events.
  int32_t runStep(Step step, const QString& path, int64_t offset, const ImageFileFacts& facts,
                  const std::vector<std::wstring>& finishing);
  void waitUntilArmedOnce();

  UpdateHost* host() const;
  void runCycle();
  void waitForCalculator();
  void countDown();
  void transfer();

  // Empty polls after a failure before the step runs anyway (as many as the
  // link's retrying discovery makes).
  static constexpr int kRetryWaitPolls = 6;
  int missedPolls_ = 0;  // worker thread only

  std::mutex stepLock_;  // guards armed_, everArmed_ and finishing_; taken before imageLock_
  std::condition_variable stepChanged_;
  Step armed_ = Step::None;
  bool everArmed_ = false;
  std::vector<std::wstring> finishing_;

  UpdateHost* const host_;

  std::mutex eventLock_;  // guards events_
  std::deque<LinkEvent> events_;
};
