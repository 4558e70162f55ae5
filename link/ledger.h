// The ledger of one update: which calculators took part and which images each
// of them holds whole. "Done" and the finishing command depend on it, never
// on the result of the last transfer alone: a calculator that arrived late,
// dropped out or came back may lack an image that the others hold.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace norza::link {

// Thread-safe: written by the link's entries (under the link's lock, on the
// worker's thread), read by the dialog on the GUI thread.
class UpdateLedger {
 public:
  // Starts an update that must leave the images at these target offsets on
  // every calculator, in transfer order. Forgets every calculator.
  void Begin(std::vector<int64_t> imageOffsets);
  // No update in progress (the command-line tools): nothing is required.
  void Clear();
  bool Active() const;

  // A transfer of the image at `offset` to `calculator` ended with `code`.
  // 0 (written and flushed) makes the image whole there; any other code
  // leaves it missing, also when an earlier transfer had written it, since
  // the failed one may have torn it. Either way the calculator takes part.
  void Record(const std::wstring& calculator, int64_t offset, int32_t code);
  // A calculator seen during the update that holds nothing of it yet.
  void Join(const std::wstring& calculator);
  // The calculators a discovery pass of this update listed just now. One
  // that took part and is not listed has gone away: whatever comes back
  // under its path may be another calculator (one without a serial, or a
  // swapped disk), so it holds nothing until it is written again.
  void NoteAttached(const std::vector<std::wstring>& calculators);
  // A transfer found the calculator gone: it holds nothing any more.
  void Forget(const std::wstring& calculator);

  bool TookPart(const std::wstring& calculator) const;
  bool Complete(const std::wstring& calculator) const;
  bool AnyoneTookPart() const;
  // Those that took part and are not in `attached`.
  std::vector<std::wstring> Missing(const std::vector<std::wstring>& attached) const;
  // The first image, in transfer order, that a calculator of this update
  // lacks; the first image while none has taken part; -1 when every one
  // holds every image.
  int64_t NextImageNeeded() const;
  // Calculators that took part and do not hold every image, or were not
  // attached at the last look.
  int32_t NotCompletedCount() const;
  // Images of the update that a transfer has made whole on some calculator
  // at least once. It only grows, so a rule that starts the retries again
  // when it grows still bounds an update whose calculators keep going away.
  int32_t ImagesEverWhole() const;

 private:
  bool CompleteLocked(const std::wstring& calculator) const;

  mutable std::mutex mutex_;
  bool active_ = false;
  std::vector<int64_t> images_;
  std::map<std::wstring, std::set<int64_t>> whole_;  // calculator -> offsets held whole
  std::set<std::wstring> lastAttached_;
  std::set<int64_t> everWhole_;
};

// The ledger of this process's update.
UpdateLedger& Ledger();

}  // namespace norza::link
