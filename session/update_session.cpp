#include "update_session.h"

#include <algorithm>
#include <tuple>

namespace norza::session {

const char* ActivityWord(Activity activity) {
  switch (activity) {
    case Activity::Waiting: return "waiting";
    case Activity::Writing: return "writing";
    case Activity::Complete: return "complete";
    case Activity::Finished: return "finished";
    case Activity::Failed: return "failed";
    case Activity::Missing: return "missing";
  }
  return "unknown";
}

const char* EndWord(End end) {
  switch (end) {
    case End::Running: return "running";
    case End::Done: return "done";
    case End::Failed: return "failed";
    case End::Aborted: return "aborted";
    case End::NoImageSet: return "no image set";
  }
  return "unknown";
}

const char* RoundEndWord(RoundEnd end) {
  switch (end) {
    case RoundEnd::Updated: return "updated";
    case RoundEnd::Failed: return "failed";
    case RoundEnd::Gone: return "gone";
  }
  return "unknown";
}

bool Calculator::HoldsAll() const {
  return std::all_of(holds.begin(), holds.end(), [](bool held) { return held; });
}

int Calculator::ImagesHeld() const {
  return static_cast<int>(std::count(holds.begin(), holds.end(), true));
}

UpdateSession::UpdateSession(Policy policy, std::vector<Image> images, Course course)
    : policy_(policy),
      course_(policy == Policy::PerCalculator ? course : Course::ToTheEnd),
      images_(std::move(images)),
      everWhole_(images_.size(), false) {
  if (images_.empty()) {
    end_ = End::NoImageSet;
    endCode_ = LINK_IMAGE_OPEN_FAILED;
  }
}

bool ComesBefore(const Identity& x, const Identity& y) {
  return std::make_tuple(x.port.empty(), x.port, x.serial, x.interfacePath) <
         std::make_tuple(y.port.empty(), y.port, y.serial, y.interfacePath);
}

std::vector<const Calculator*> UpdateSession::Ordered() const {
  std::vector<const Calculator*> out;
  for (const auto& [path, calculator] : calculators_) out.push_back(&calculator);
  std::stable_sort(out.begin(), out.end(), [](const Calculator* a, const Calculator* b) {
    return ComesBefore(a->identity, b->identity);
  });
  return out;
}

namespace {
Identity IdentityOf(const Outcome& outcome) {
  return {outcome.interfacePath, outcome.serial, outcome.port, outcome.deviceNode};
}
}  // namespace

Calculator& UpdateSession::Seen(const Identity& identity) {
  Calculator& calculator = Seen(identity.interfacePath);
  // What a pass tells of it is fresher than what was known.
  if (!identity.serial.empty()) calculator.identity.serial = identity.serial;
  if (!identity.port.empty()) calculator.identity.port = identity.port;
  if (!identity.deviceNode.empty()) calculator.identity.deviceNode = identity.deviceNode;
  return calculator;
}

Calculator& UpdateSession::Seen(const std::wstring& interfacePath) {
  auto found = calculators_.find(interfacePath);
  if (found != calculators_.end()) return found->second;
  Calculator& calculator = calculators_[interfacePath];
  calculator.identity.interfacePath = interfacePath;
  calculator.holds.assign(images_.size(), false);
  return calculator;
}

void UpdateSession::GoneAway(Calculator& calculator) {
  // Its round ends as it went: with what it held then.
  if (calculator.roundOpen) EndRound(calculator, RoundEnd::Gone);
  // One that was told the update is over keeps its record: unplugging it
  // then is what the user is asked to do.
  if (!calculator.finished) std::fill(calculator.holds.begin(), calculator.holds.end(), false);
  calculator.attached = false;
  calculator.image = -1;
  Refresh(calculator);
}

void UpdateSession::Refresh(Calculator& calculator) {
  if (calculator.givenUp) {
    calculator.activity = Activity::Failed;
  } else if (calculator.finished) {
    calculator.activity = Activity::Finished;
  } else if (!calculator.attached) {
    calculator.activity = Activity::Missing;
  } else if (calculator.image >= 0) {
    calculator.activity = Activity::Writing;
  } else if (calculator.HoldsAll()) {
    calculator.activity = Activity::Complete;
  } else {
    calculator.activity = Activity::Waiting;
  }
}

void UpdateSession::NotePass(const std::vector<Identity>& attached) {
  if (end_ != End::Running) return;
  for (auto& [path, calculator] : calculators_) {
    const bool listed =
        std::any_of(attached.begin(), attached.end(),
                    [&](const Identity& identity) { return identity.interfacePath == path; });
    if (!listed && calculator.attached) GoneAway(calculator);
  }
  for (const Identity& identity : attached) {
    // All together, a calculator takes part from its first transfer; per
    // calculator, from the moment it is seen.
    if (policy_ == Policy::AllTogether && calculators_.count(identity.interfacePath) == 0) continue;
    const bool known = calculators_.count(identity.interfacePath) != 0;
    Calculator& calculator = Seen(identity);
    if (course_ == Course::OpenEnded && (!known || !calculator.attached)) {
      // Maybe another calculator: who it is now, as this pass tells it.
      calculator.identity = identity;
      BeginRound(calculator);
    } else if (!calculator.attached) {
      // Back, maybe as another calculator: it holds nothing and must be told
      // again. Its attempts stay, so one that keeps going away still ends.
      calculator.attached = true;
      calculator.finished = false;
      std::fill(calculator.holds.begin(), calculator.holds.end(), false);
    }
    ++calculator.passes;
    Refresh(calculator);
  }
  if (policy_ == Policy::PerCalculator) EndIfNothingLeft();
}

void UpdateSession::BeginRound(Calculator& calculator) {
  // Plugged in, or back (maybe as another calculator): a fresh course with
  // its own attempts, holding nothing.
  const Identity identity = calculator.identity;
  const int round = calculator.round;
  calculator = Calculator{};
  calculator.identity = identity;
  calculator.holds.assign(images_.size(), false);
  calculator.round = round + 1;
  calculator.roundOpen = true;
}

Round UpdateSession::RoundOf(const Calculator& calculator, RoundEnd end) const {
  Round round;
  round.identity = calculator.identity;
  round.end = end;
  round.imagesHeld = calculator.ImagesHeld();
  round.missingImage = FirstImageLacked({&calculator});
  if (end != RoundEnd::Updated) {
    const bool failure =
        calculator.code != LINK_OK && (end == RoundEnd::Failed || calculator.failedLast);
    round.code = failure ? calculator.code : LINK_CALCULATOR_MISSING;
    round.reason = failure ? calculator.reason : std::string();
    if (round.reason.empty() && end == RoundEnd::Gone)
      round.reason = "unplugged before it was updated";
  }
  return round;
}

void UpdateSession::EndRound(Calculator& calculator, RoundEnd end) {
  calculator.roundOpen = false;
  endedRounds_.push_back(RoundOf(calculator, end));
}

std::vector<Round> UpdateSession::TakeEndedRounds() {
  std::vector<Round> out;
  out.swap(endedRounds_);
  return out;
}

void UpdateSession::CountAttempt(Calculator& calculator) {
  if (policy_ != Policy::PerCalculator || ++calculator.attempts < kAttempts) return;
  calculator.givenUp = true;
  if (calculator.roundOpen) EndRound(calculator, RoundEnd::Failed);
}

int32_t UpdateSession::CountFailure(int32_t code) {
  if (policy_ != Policy::AllTogether) return code;
  ++failures_;
  if (failures_ >= kAttempts) {
    end_ = End::Failed;
    endCode_ = code;
  }
  return code;
}

int32_t UpdateSession::NoteTransfer(int image, int32_t result,
                                    const std::vector<Outcome>& outcomes) {
  if (end_ != End::Running || image < 0 || image >= static_cast<int>(images_.size())) return result;
  bool progress = false;
  std::vector<std::wstring> written;
  for (const Outcome& outcome : outcomes) {
    Calculator& calculator = Seen(IdentityOf(outcome));
    written.push_back(outcome.interfacePath);
    calculator.attached = true;
    calculator.image = -1;
    calculator.percent = 0;
    calculator.failedLast = outcome.code != LINK_OK;
    if (outcome.code == LINK_OK) {
      calculator.holds[image] = true;
      if (!everWhole_[image]) progress = true;
      everWhole_[image] = true;
    } else {
      // A failed write may have torn the image, also one written before.
      calculator.holds[image] = false;
      calculator.code = outcome.code;
      calculator.reason = outcome.reason;
      CountAttempt(calculator);
    }
    if (outcome.gone) {
      GoneAway(calculator);
    } else {
      Refresh(calculator);
    }
  }
  if (policy_ == Policy::PerCalculator) {
    EndIfNothingLeft();
    return result;
  }
  // All together: every calculator of the update must have been written.
  bool someoneMissing = false;
  for (auto& [path, calculator] : calculators_) {
    if (std::find(written.begin(), written.end(), path) != written.end()) continue;
    if (calculator.attached) GoneAway(calculator);
    someoneMissing = true;
  }
  const int32_t effective = result == LINK_OK && someoneMissing ? LINK_CALCULATOR_MISSING : result;
  if (effective != LINK_OK) return CountFailure(effective);
  // Only new progress starts the attempts again: writing a calculator that
  // came back once more must not, or it could keep the update going.
  if (progress) failures_ = 0;
  return effective;
}

int32_t UpdateSession::NoteFinish(int32_t result, const std::vector<Outcome>& outcomes) {
  if (end_ != End::Running) return result;
  for (const Outcome& outcome : outcomes) {
    Calculator& calculator = Seen(IdentityOf(outcome));
    calculator.attached = true;
    if (outcome.code == LINK_OK && calculator.HoldsAll() && !calculator.givenUp) {
      calculator.finished = true;
      if (calculator.roundOpen) EndRound(calculator, RoundEnd::Updated);
    } else if (outcome.code != LINK_OK && outcome.code != LINK_UPDATE_INCOMPLETE) {
      calculator.code = outcome.code;
      calculator.reason = outcome.reason;
      CountAttempt(calculator);
    }
    // Reported missing: it has gone away, as after a transfer, so what is
    // listed under its path next begins anew.
    if (outcome.gone) {
      GoneAway(calculator);
    } else {
      Refresh(calculator);
    }
  }
  if (policy_ == Policy::PerCalculator) {
    EndIfNothingLeft();
    return result;
  }
  if (result == LINK_OK) {
    end_ = End::Done;
    endCode_ = LINK_OK;
    return result;
  }
  // A calculator found at the finish that still needs images has joined
  // (its outcome is among them); that is no failure: it gets them next.
  if (result == LINK_UPDATE_INCOMPLETE) return result;
  return CountFailure(result);
}

void UpdateSession::Rest(const std::wstring& interfacePath, bool resting) {
  auto found = calculators_.find(interfacePath);
  if (found != calculators_.end()) found->second.resting = resting;
}

void UpdateSession::NoteProgress(const std::wstring& interfacePath, int image, int percent) {
  auto found = calculators_.find(interfacePath);
  if (found == calculators_.end() || end_ != End::Running) return;
  Calculator& calculator = found->second;
  calculator.image = image;
  calculator.percent = percent;
  Refresh(calculator);
}

void UpdateSession::Abort() {
  if (end_ != End::Running) return;
  end_ = End::Aborted;
  endCode_ = 0;
  for (auto& [path, calculator] : calculators_) {
    calculator.image = -1;
    if (calculator.roundOpen) {
      // Stopped: not updated, and no fault of its own.
      Round stopped = RoundOf(calculator, RoundEnd::Failed);
      stopped.code = LINK_OK;
      stopped.reason = "stopped before it was updated";
      calculator.roundOpen = false;
      endedRounds_.push_back(std::move(stopped));
    }
    Refresh(calculator);
  }
}

std::vector<std::wstring> UpdateSession::Attached() const {
  std::vector<std::wstring> out;
  for (const auto& [path, calculator] : calculators_) {
    if (calculator.attached) out.push_back(path);
  }
  return out;
}

int UpdateSession::FirstImageLacked(const std::vector<const Calculator*>& among) const {
  for (std::size_t image = 0; image < images_.size(); ++image) {
    for (const Calculator* calculator : among) {
      if (!calculator->holds[image]) return static_cast<int>(image);
    }
  }
  return -1;
}

bool UpdateSession::Whole() const {
  return !calculators_.empty() &&
         std::all_of(calculators_.begin(), calculators_.end(), [](const auto& entry) {
           return entry.second.attached && entry.second.HoldsAll();
         });
}

void UpdateSession::EndIfNothingLeft() {
  if (course_ == Course::OpenEnded) return;
  const Step next = Next();
  if (next.kind != Step::Kind::End || end_ != End::Running || calculators_.empty()) return;
  const std::vector<const Calculator*> left = NotCompleted();
  end_ = left.empty() ? End::Done : End::Failed;
  endCode_ = LINK_OK;
  for (const Calculator* calculator : left) {
    endCode_ = calculator->code != LINK_OK ? calculator->code : LINK_CALCULATOR_MISSING;
    break;
  }
}

Step UpdateSession::Next() const {
  Step step;
  if (end_ != End::Running) return step;
  if (policy_ == Policy::AllTogether) {
    std::vector<const Calculator*> all;
    for (const auto& [path, calculator] : calculators_) all.push_back(&calculator);
    // While none took part, the first image; it goes to whoever is attached.
    const int image = all.empty() ? 0 : FirstImageLacked(all);
    if (image >= 0) {
      step.kind = Step::Kind::Transfer;
      step.image = image;
      return step;
    }
    step.kind = Step::Kind::Finish;
    step.calculators = Attached();
    step.onlyThese = true;
    return step;
  }
  // Per calculator: first tell those that hold every image; then write the
  // image the most calculators need next (each its own first image lacked),
  // those whose last attempt did not fail first, so one that keeps failing
  // holds back nobody.
  for (const auto& [path, calculator] : calculators_) {
    if (InRound(calculator) && !calculator.resting && calculator.HoldsAll())
      step.calculators.push_back(path);
  }
  if (!step.calculators.empty()) {
    step.kind = Step::Kind::Finish;
    return step;
  }
  struct Group {
    int healthy = 0;
    std::vector<std::wstring> calculators;
  };
  std::map<int, Group> groups;  // by image
  for (const auto& [path, calculator] : calculators_) {
    if (!InRound(calculator) || calculator.resting) continue;
    // Open-ended, one just plugged in is written once it has settled.
    if (course_ == Course::OpenEnded && calculator.passes < kSettlePasses) continue;
    const int image = FirstImageLacked({&calculator});
    Group& group = groups[image];
    group.calculators.push_back(path);
    if (!calculator.failedLast) ++group.healthy;
  }
  const auto best =
      std::max_element(groups.begin(), groups.end(), [](const auto& a, const auto& b) {
        // Fewer healthy, then fewer calculators, then a later image: worse.
        return std::make_tuple(a.second.healthy, a.second.calculators.size(), -a.first) <
               std::make_tuple(b.second.healthy, b.second.calculators.size(), -b.first);
      });
  if (best != groups.end()) {
    step.kind = Step::Kind::Transfer;
    step.image = best->first;
    step.calculators = best->second.calculators;
  } else if (calculators_.empty() || course_ == Course::OpenEnded) {
    step.kind = Step::Kind::Wait;
  }
  return step;
}

bool UpdateSession::InRound(const Calculator& calculator) {
  return calculator.attached && !calculator.givenUp && !calculator.finished;
}

std::vector<const Calculator*> UpdateSession::NotCompleted() const {
  std::vector<const Calculator*> out;
  for (const Calculator* calculator : Ordered()) {
    const bool completed = policy_ == Policy::AllTogether
                               ? calculator->attached && calculator->HoldsAll()
                               : calculator->finished;
    if (!completed) out.push_back(calculator);
  }
  return out;
}

}  // namespace norza::session
