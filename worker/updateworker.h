// CUpdateWorker: waits for a calculator, counts down, runs each transfer
// through the link and reports by signals. Lives on its own QThread; its one
// slot, process(), is a polling loop that returns only when asked to stop.
#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <mutex>

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

  CUpdateWorker();
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
  void runCycle();
  void waitForCalculator();
  void countDown();
  void transfer();
};
