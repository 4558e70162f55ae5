// The station's board: one slot per calculator a teacher should see, in a
// stable order, and the tally since the station started. Built from the
// update session on the engine's thread and handed to the window as a copy.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "explain.h"
#include "update_session.h"

namespace norza::station {

// The most slots the board shows: the calculators one transfer can write.
inline constexpr int kSlots = 16;

struct Slot {
  session::Identity identity;
  session::Activity activity = session::Activity::Waiting;
  int image = -1;   // Writing: the image being written
  int percent = 0;  // of it
  int imagesHeld = 0;
  int attempts = 0;       // failed attempts in this round
  int32_t code = 0;       // Failed or gone: the link code
  std::string reason;     // and in English words
  LinkExplanation why;    // the failure, for the window to say in the user's language
  bool gone = false;      // unplugged before its round ended
  int missingImage = -1;  // gone: the first image it lacked
  int round = 0;
};

bool operator==(const Slot& a, const Slot& b);

struct Tally {
  int updated = 0;     // rounds that ended with the calculator told it may be unplugged
  int failed = 0;      // rounds given up
  int gone = 0;        // rounds that ended by unplugging
  int inProgress = 0;  // rounds running now
};

bool operator==(const Tally& a, const Tally& b);

struct Board {
  std::vector<Slot> calculators;  // at most kSlots
  Tally tally;
  bool tooMany = false;   // more calculators attached than one transfer takes: none is written
  bool stopping = false;  // the station is closing after the running step
};

// Boards that show the same: the engine hands the window only changes.
bool operator==(const Board& a, const Board& b);
inline bool operator!=(const Board& a, const Board& b) { return !(a == b); }

// The ended rounds the tally counts, and the last round of each calculator
// (for slots of calculators that were unplugged before they were updated).
struct RoundBook {
  Tally ended;
  std::map<std::wstring, session::Round> last;
  void Note(const session::Round& round);
};

// Attached calculators first (all of them, in the session's order), then
// those unplugged before their round ended, as long as no attached
// calculator sits on the same port and the board has room.
Board BuildBoard(const session::UpdateSession& session, const RoundBook& book);

}  // namespace norza::station
