#include "station_engine.h"

#include "link.h"
#include "link_feed.h"
#include "pacing.h"

namespace norza::station {

using namespace norza::session;

StationEngine::StationEngine(std::vector<Image> images, Listener& listener)
    : images_(images),
      listener_(listener),
      session_(Policy::PerCalculator, std::move(images), Course::OpenEnded) {}

StationEngine::~StationEngine() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

void StationEngine::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void StationEngine::Stop() { stop_.store(true); }

void StationEngine::Run() {
  Poll(session_);
  Publish();
  while (!stop_.load()) {
    EndRests();
    const Step step = session_.Next();
    if (step.kind == Step::Kind::Transfer) {
      Transfer(step);
    } else if (step.kind == Step::Kind::Finish) {
      // One at a time: a neighbour that cannot be told must not count
      // against the others.
      for (const std::wstring& calculator : step.calculators) {
        if (stop_.load()) break;
        // The passes of an earlier finish may have seen it go, or come back
        // as a new round that holds nothing yet: only one still whole is told.
        if (!StillWhole(calculator)) continue;
        Finish(calculator);
      }
    } else {
      PauseMs(kPollIntervalMs);
      if (stop_.load()) break;
      tooMany_ = Poll(session_) == LINK_TOO_MANY_CALCULATORS;
      Publish();
    }
  }
  session_.Abort();
  Publish();
  listener_.Stopped();
}

void StationEngine::Transfer(const Step& step) {
  for (const std::wstring& path : step.calculators) session_.NoteProgress(path, step.image, 0);
  Publish();
  writing_.store(step.image);
  const TransferOrder order = OrderFor(session_, step, OnProgress, this);
  LinkReport report;
  TransferImage(kCalculatorVendor, kCalculatorProduct, order, &report);
  writing_.store(-1);
  if (report.result == LINK_TOO_MANY_CALCULATORS) {
    // Nothing was written: the board says to take some away, and the
    // station looks again.
    for (const std::wstring& path : step.calculators) session_.NoteProgress(path, -1, 0);
    NotePasses(session_, report, 0, report.passes.size());
    tooMany_ = true;
    Publish();
    PauseMs(kPollIntervalMs);
    return;
  }
  tooMany_ = false;
  NoteExplanations(report);
  AfterStep(Feed(session_, report, [&](const std::vector<Outcome>& outcomes) {
    session_.NoteTransfer(step.image, report.result, outcomes);
  }));
}

bool StationEngine::StillWhole(const std::wstring& calculator) const {
  const auto found = session_.calculators().find(calculator);
  if (found == session_.calculators().end()) return false;
  const Calculator& c = found->second;
  return c.attached && c.roundOpen && !c.finished && !c.givenUp && !c.resting && c.HoldsAll();
}

void StationEngine::Finish(const std::wstring& calculator) {
  PauseMs(kFinishPauseMs);
  const std::vector<std::wstring> only{calculator};
  LinkReport report;
  FinishCalculators(kCalculatorVendor, kCalculatorProduct, &only, false, &report);
  NoteExplanations(report);
  AfterStep(Feed(session_, report, [&](const std::vector<Outcome>& outcomes) {
    session_.NoteFinish(report.result, outcomes);
  }));
}

void StationEngine::AfterStep(const std::vector<Outcome>& outcomes) {
  // A calculator that failed sits out the updater's pause after a failure;
  // the others go on meanwhile.
  const auto pause = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(kFailurePauseMs * PaceScale()));
  for (const Outcome& outcome : outcomes) {
    if (outcome.code == LINK_OK || outcome.code == LINK_UPDATE_INCOMPLETE) continue;
    restUntil_[outcome.interfacePath] = Clock::now() + pause;
    session_.Rest(outcome.interfacePath, true);
  }
  Publish();
  PauseMs(kAfterStepPauseMs);
}

void StationEngine::NoteExplanations(const LinkReport& report) {
  for (const CalculatorReport& calculator : report.calculators) {
    if (calculator.code == LINK_OK) continue;
    explained_[calculator.interfacePath] = {
        calculator.code, ExplainLinkFailure(calculator.code, calculator.failure, 0)};
  }
}

void StationEngine::EndRests() {
  const Clock::time_point now = Clock::now();
  for (auto rest = restUntil_.begin(); rest != restUntil_.end();) {
    if (rest->second > now) {
      ++rest;
      continue;
    }
    session_.Rest(rest->first, false);
    rest = restUntil_.erase(rest);
  }
}

void StationEngine::Publish() {
  // Every round that ended since the last board, however it ended.
  for (const Round& round : session_.TakeEndedRounds()) {
    book_.Note(round);
    listener_.RoundEnded(round);
  }
  Board board = BuildBoard(session_, book_);
  for (Slot& slot : board.calculators) {
    const auto found = explained_.find(slot.identity.interfacePath);
    // Only the explanation of the failure the slot shows, not an older one.
    if (found != explained_.end() && found->second.first == slot.code)
      slot.why = found->second.second;
  }
  board.tooMany = board.tooMany || tooMany_;
  board.stopping = stop_.load();
  if (anyShown_ && board == shown_) return;
  shown_ = board;
  anyShown_ = true;
  listener_.BoardChanged(board);
}

void StationEngine::OnProgress(void* context, const wchar_t* path, int32_t percent) {
  auto* engine = static_cast<StationEngine*>(context);
  engine->listener_.Progress(path != nullptr ? path : L"", engine->writing_.load(), percent);
}

}  // namespace norza::station
