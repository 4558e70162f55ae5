#include "board.h"

#include <algorithm>
#include <set>
#include <tuple>

namespace norza::station {

using session::Calculator;
using session::RoundEnd;

void RoundBook::Note(const session::Round& round) {
  switch (round.end) {
    case RoundEnd::Updated: ++ended.updated; break;
    case RoundEnd::Failed: ++ended.failed; break;
    case RoundEnd::Gone: ++ended.gone; break;
  }
  last[round.identity.interfacePath] = round;
}

bool operator==(const Slot& a, const Slot& b) {
  const auto fields = [](const Slot& s) {
    return std::tie(s.identity.interfacePath, s.identity.serial, s.identity.port, s.activity,
                    s.image, s.percent, s.imagesHeld, s.attempts, s.code, s.reason, s.gone,
                    s.missingImage, s.round, s.why.textId, s.why.arguments);
  };
  return fields(a) == fields(b);
}

bool operator==(const Tally& a, const Tally& b) {
  return std::tie(a.updated, a.failed, a.gone, a.inProgress) ==
         std::tie(b.updated, b.failed, b.gone, b.inProgress);
}

bool operator==(const Board& a, const Board& b) {
  return a.calculators == b.calculators && a.tally == b.tally && a.tooMany == b.tooMany &&
         a.stopping == b.stopping;
}

namespace {

Slot SlotOf(const Calculator& calculator) {
  Slot slot;
  slot.identity = calculator.identity;
  slot.activity = calculator.activity;
  slot.image = calculator.image;
  slot.percent = calculator.percent;
  slot.imagesHeld = calculator.ImagesHeld();
  slot.attempts = calculator.attempts;
  slot.code = calculator.code;
  slot.reason = calculator.reason;
  slot.round = calculator.round;
  return slot;
}

}  // namespace

Board BuildBoard(const session::UpdateSession& session, const RoundBook& book) {
  Board board;
  board.tally = book.ended;
  std::set<std::string> portsTaken;
  for (const Calculator* calculator : session.Ordered()) {
    if (!calculator->attached) continue;
    if (calculator->roundOpen) ++board.tally.inProgress;
    if (!calculator->identity.port.empty()) portsTaken.insert(calculator->identity.port);
    board.calculators.push_back(SlotOf(*calculator));
  }
  for (const Calculator* calculator : session.Ordered()) {
    if (calculator->attached || static_cast<int>(board.calculators.size()) >= kSlots) continue;
    const auto last = book.last.find(calculator->identity.interfacePath);
    if (last == book.last.end() || last->second.end != RoundEnd::Gone ||
        last->second.identity.interfacePath != calculator->identity.interfacePath)
      continue;
    if (portsTaken.count(calculator->identity.port) != 0) continue;
    Slot slot = SlotOf(*calculator);
    slot.gone = true;
    slot.imagesHeld = last->second.imagesHeld;
    slot.missingImage = last->second.missingImage;
    slot.code = last->second.code;
    slot.reason = last->second.reason;
    board.calculators.push_back(std::move(slot));
  }
  // One order for the board, wherever a slot came from.
  std::stable_sort(
      board.calculators.begin(), board.calculators.end(),
      [](const Slot& a, const Slot& b) { return session::ComesBefore(a.identity, b.identity); });
  if (static_cast<int>(board.calculators.size()) > kSlots) {
    board.tooMany = true;
    board.calculators.resize(kSlots);
  }
  return board;
}

}  // namespace norza::station
