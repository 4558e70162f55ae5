#include "updateworker.h"

#include <QMetaObject>

#include <exception>
#include <string>

#include "link.h"
#include "pacing.h"
#include "updatehost.h"

namespace {

// The link calls these on its writer threads, several at once; they reach
// the dialog only through currentDialog.
void workerProgressCallback(int32_t percent) {
  if (UpdateHost* host = currentDialog.host()) host->emitUpdateProgress(percent);
}

void workerMessageCallback(const wchar_t* text) {
  if (UpdateHost* host = currentDialog.host()) host->emitUpdateMessage(text);
}

}  // namespace

CUpdateWorker::CUpdateWorker() : QObject(nullptr) {}

CUpdateWorker::~CUpdateWorker() = default;

void CUpdateWorker::resume() {
  state.store(StateWaiting);
  stopRequested.store(false);
  QMetaObject::invokeMethod(this, "process", Qt::QueuedConnection);
}

void CUpdateWorker::process() {
  try {
    norza::PauseMs(500);
    while (!stopRequested.load()) runCycle();
  } catch (...) {
    // The loop ends silently; the dialog is not told.
    lastResult.store(-2);
  }
  loopsEnded.fetch_add(1, std::memory_order_release);
}

void CUpdateWorker::runCycle() {
  switch (state.load()) {
    case StateWaiting:
      waitForCalculator();
      break;
    case StateCountdown:
      countDown();
      break;
    case StateTransfer:
      transfer();
      break;
    case StateIdle:
      norza::PauseMs(250);
      break;
    case StateFailed:
      norza::PauseMs(3000);
      state.store(StateWaiting);
      break;
    default:
      break;
  }
}

void CUpdateWorker::waitForCalculator() {
  const int32_t ticks = (tickCount.load() + 1) % 5;
  tickCount.store(ticks);
  if (IsCalculatorAttached(kCalculatorVendor, kCalculatorProduct)) {
    state.store(StateCountdown);
    // After a failed transfer the calculator is back: go straight on.
    if (transferStarted.load()) return;
    emit foundDevice();
    norza::PauseMs(500);
  }
  emit waitingTicks(ticks);
  norza::PauseMs(500);
}

void CUpdateWorker::countDown() {
  UpdateHost* host = currentDialog.host();
  if (host != nullptr) {
    std::atomic<int32_t>& countdown = host->countdownField();
    int32_t current = countdown.load();
    if (current != 0) {
      // A compare-exchange so a value the GUI stores meanwhile (the Start
      // press sets 1000) is lowered, not overwritten.
      int32_t lowered;
      do {
        lowered = current - 1000;
        if (lowered < 0) lowered = 0;
      } while (!countdown.compare_exchange_weak(current, lowered));
      emit waitingStart();
      norza::PauseMs(1000);
      return;
    }
  }
  emit downloadActive();
  state.store(StateTransfer);
  norza::PauseMs(250);
}

void CUpdateWorker::transfer() {
  if (UpdateHost* host = currentDialog.host()) host->transferActiveField().store(true);
  transferStarted.store(true);
  const std::wstring path = imagePath.get().toStdWString();
  const int64_t offset = targetOffset.get();
  const int32_t result = DownloadImage(kCalculatorVendor, kCalculatorProduct, path.c_str(), offset,
                                       workerProgressCallback, workerMessageCallback);
  lastResult.store(result);
  // Stored before updaterRan so the dialog's "state = 2" for the next image
  // is never overwritten.
  state.store(result != 0 ? StateFailed : StateIdle);
  emit updaterRan(result);
  emit downloadInactive();
  norza::PauseMs(100);
}
