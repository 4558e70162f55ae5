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

CUpdateWorker::CUpdateWorker(UpdateHost* host) : QObject(nullptr), host_(host) {}

UpdateHost* CUpdateWorker::host() const { return host_ != nullptr ? host_ : currentDialog.host(); }

CUpdateWorker::~CUpdateWorker() = default;

void CUpdateWorker::armTransfer(const QString& path, int64_t offset, const ImageFileFacts& facts) {
  {
    std::lock_guard<std::mutex> guard(stepLock_);
    targetOffset.set(offset);
    imagePath.set(path);
    imageFacts.set(facts);
    armed_ = Step::Transfer;
    everArmed_ = true;
  }
  stepChanged_.notify_all();
}

void CUpdateWorker::armFinish(const std::vector<std::wstring>& calculators) {
  {
    std::lock_guard<std::mutex> guard(stepLock_);
    armed_ = Step::Finish;
    everArmed_ = true;
    finishing_ = calculators;
  }
  stepChanged_.notify_all();
}

void CUpdateWorker::failedForTheUpdate() {
  int32_t idle = StateIdle;
  state.compare_exchange_strong(idle, StateFailed);
}

void CUpdateWorker::noteEvents(std::vector<LinkEvent> events) {
  std::lock_guard<std::mutex> guard(eventLock_);
  for (LinkEvent& event : events) events_.push_back(std::move(event));
}

std::vector<CUpdateWorker::LinkEvent> CUpdateWorker::takeStepEvents() {
  std::lock_guard<std::mutex> guard(eventLock_);
  std::vector<LinkEvent> taken;
  while (!events_.empty()) {
    taken.push_back(std::move(events_.front()));
    events_.pop_front();
    if (taken.back().step) break;
  }
  return taken;
}

namespace {

// A report as events in the order they happened: the passes before the
// step, the step, the passes after it.
std::vector<CUpdateWorker::LinkEvent> eventsOf(const LinkReport& report, bool step) {
  std::vector<CUpdateWorker::LinkEvent> events;
  for (std::size_t i = 0; i < report.passes.size(); ++i) {
    if (step && i == report.passesBefore) events.push_back({{}, true, report});
    events.push_back({report.passes[i], false, {}});
  }
  if (step && report.passesBefore >= report.passes.size()) events.push_back({{}, true, report});
  return events;
}

}  // namespace

void CUpdateWorker::requestStop() {
  {
    std::lock_guard<std::mutex> guard(stepLock_);
    stopRequested.store(true);
    armed_ = Step::None;
  }
  stepChanged_.notify_all();
}

void CUpdateWorker::resume() {
  state.store(StateWaiting);
  stopRequested.store(false);
  QMetaObject::invokeMethod(this, "process", Qt::QueuedConnection);
}

CUpdateWorker::Step CUpdateWorker::takeArmedStep(QString* path, int64_t* offset,
                                                 ImageFileFacts* facts,
                                                 std::vector<std::wstring>* finishing) {
  std::unique_lock<std::mutex> guard(stepLock_);
  stepChanged_.wait(guard, [this] { return stopRequested.load() || armed_ != Step::None; });
  if (stopRequested.load()) return Step::None;
  const Step step = armed_;
  armed_ = Step::None;
  *path = imagePath.get();
  *offset = targetOffset.get();
  *facts = imageFacts.get();
  *finishing = finishing_;
  return step;
}

void CUpdateWorker::waitUntilArmedOnce() {
  std::unique_lock<std::mutex> guard(stepLock_);
  stepChanged_.wait(guard, [this] { return stopRequested.load() || everArmed_; });
}

void CUpdateWorker::process() {
  try {
    norza::PauseMs(kStartPauseMs);
    // Nothing to poll for until the dialog knows the image set and has
    // wired its signals: it arms the first image last.
    waitUntilArmedOnce();
    while (!stopRequested.load()) runCycle();
  } catch (...) {
    // The loop ends silently; the dialog is not told.
    lastResult.store(-2);
  }
  loopsEnded.fetch_add(1, std::memory_order_release);
}

void CUpdateWorker::runCycle() {
  switch (state.load()) {
    case StateWaiting: waitForCalculator(); break;
    case StateCountdown: countDown(); break;
    case StateTransfer: transfer(); break;
    case StateIdle: norza::PauseMs(kIdlePauseMs); break;
    case StateFailed:
      norza::PauseMs(kFailurePauseMs);
      state.store(StateWaiting);
      break;
    default: break;
  }
}

void CUpdateWorker::waitForCalculator() {
  const int32_t ticks = (tickCount.load() + 1) % 5;
  tickCount.store(ticks);
  LinkReport listed;
  ListCalculators(kCalculatorVendor, kCalculatorProduct, &listed);
  const bool found = !listed.calculators.empty();
  noteEvents(eventsOf(listed, false));
  // After a failed transfer the wait is bounded: once the link's own
  // discovery would have given up, the step runs anyway and fails with 104,
  // so a calculator that never comes back uses up the retries instead of
  // leaving the window waiting for good.
  missedPolls_ = found ? 0 : missedPolls_ + 1;
  if (found || (transferStarted.load() && missedPolls_ >= kRetryWaitPolls)) {
    missedPolls_ = 0;
    state.store(StateCountdown);
    // After a failed transfer the calculator is back: go straight on.
    if (transferStarted.load()) return;
    emit foundDevice();
    norza::PauseMs(kFoundPauseMs);
  }
  emit waitingTicks(ticks);
  norza::PauseMs(kPollIntervalMs);
}

void CUpdateWorker::countDown() {
  UpdateHost* dialog = host();
  if (dialog != nullptr && dialog->lowerCountdown(kCountdownStepMs)) {
    emit waitingStart();
    norza::PauseMs(kCountdownStepMs);
    return;
  }
  emit downloadActive();
  state.store(StateTransfer);
  norza::PauseMs(kTransferStartPauseMs);
}

int32_t CUpdateWorker::runStep(Step step, const QString& path, int64_t offset,
                               const ImageFileFacts& facts,
                               const std::vector<std::wstring>& finishing) {
  LinkReport report;
  if (step == Step::Finish) {
    norza::PauseMs(kFinishPauseMs);
    FinishCalculators(kCalculatorVendor, kCalculatorProduct, &finishing, true, &report);
  } else {
    const std::wstring widePath = path.toStdWString();
    TransferOrder order;
    order.imagePath = widePath.c_str();
    order.examined = &facts;
    order.targetOffset = offset;
    order.progress = workerProgressCallback;
    order.message = workerMessageCallback;
    TransferImage(kCalculatorVendor, kCalculatorProduct, order, &report);
  }
  noteEvents(eventsOf(report, true));
  return report.result;
}

void CUpdateWorker::transfer() {
  QString path;
  int64_t offset = 0;
  ImageFileFacts facts;
  std::vector<std::wstring> finishing;
  const Step step = takeArmedStep(&path, &offset, &facts, &finishing);
  if (step == Step::None) return;  // stopped while waiting
  if (UpdateHost* dialog = host()) dialog->transferBegins();
  transferStarted.store(true);
  const int32_t result = runStep(step, path, offset, facts, finishing);
  lastResult.store(result);
  // Stored before updaterRan so the dialog's "state = 2" for the next step
  // is never overwritten. A calculator found at the finish that still needs
  // images is not a failure: the dialog arms what it lacks at once.
  const bool goOn = result == LINK_OK || (step == Step::Finish && result == LINK_UPDATE_INCOMPLETE);
  state.store(goOn ? StateIdle : StateFailed);
  emit updaterRan(result);
  emit downloadInactive();
  norza::PauseMs(kAfterStepPauseMs);
}
