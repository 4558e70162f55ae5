// The calculator in update mode: a fixed-size disk that answers command
// blocks written to the window at sector 170, journals what the host did and
// misbehaves as its faults say. It knows nothing of backends: it sees
// "write(offset, bytes)", "read(offset, length)" and "flush" on a session.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator_faults.h"
#include "emulator_journal.h"
#include "emulator_protocol.h"
#include "emulator_storage.h"

namespace norza::emu {

// The USB identity of a calculator in update mode.
inline constexpr const char* kDefaultVendor = "ZK";
inline constexpr const char* kDefaultProduct = "Norza update";
inline constexpr const char* kRevision = "1.00";

class Calculator {
 public:
  // Called under the calculator's lock when faults were consumed (to write
  // what remains back) or when the calculator vanished (to hide it from
  // discovery). Either may be empty.
  struct Hooks {
    std::function<void(const Faults&)> faultsChanged;
    std::function<void()> vanished;
  };

  // One open handle's view: its own pending reply and its own CMD_DATA run.
  // Used by one thread at a time.
  class Session {
   public:
    // The backend reports where the host positioned the handle; the data of
    // a CMD_DATA run lands relative to the last such position outside the
    // command window.
    void NoteSeek(int64_t position);
    bool HasPendingReply() const { return replyPending_; }

   private:
    friend class Calculator;
    std::array<uint8_t, kBlockSize> reply_{};
    bool replyPending_ = false;
    int64_t anchor_ = 0;
    bool runActive_ = false;
    int64_t runBase_ = 0;
    uint64_t runReceived_ = 0;  // bytes received through CMD_DATA in this run
    uint64_t runNext_ = 0;      // image offset the next block should carry
  };

  Calculator(std::unique_ptr<Storage> storage, std::shared_ptr<JournalSink> journal,
             Faults faults = {}, Hooks hooks = {});

  // Journals "open"/"close".
  std::unique_ptr<Session> Open();
  void Close(std::unique_ptr<Session> session);

  int64_t Size() const;

  // What the host's I/O does. false = the I/O fails (gone, past the end,
  // injected fault, storage error); *error then says why.
  bool Write(Session& session, int64_t offset, const void* data, std::size_t length,
             std::string* error = nullptr);
  bool Read(Session& session, int64_t offset, void* out, std::size_t length,
            std::string* error = nullptr);
  bool Flush(Session& session, std::string* error = nullptr);

  // The cable: Unplug makes every I/O fail; Replug brings it back with its
  // bytes. Vanishing by fault calls Unplug.
  void Unplug();
  void Replug();
  bool Gone() const;

  // appear-after-polls: one discovery pass consumed; true when the calculator
  // stays hidden from it. Hidden(): not yet visible.
  bool ConsumeHiddenPoll();
  bool Hidden() const;

  // deny-opens: one open consumed; true when this open is refused.
  bool ConsumeDeniedOpen();

  // Replaces the armed faults, as if the faults file had been rewritten.
  void SetFaults(const Faults& faults);

  // A plain disk (a USB stick) stores command blocks like any other data and
  // never answers them.
  void SetPlainDisk(bool plain);

  // Inspection for tests and tools: no journal, no faults, works when gone.
  bool Peek(int64_t offset, void* out, std::size_t length) const;
  bool Poke(int64_t offset, const void* data, std::size_t length);
  Faults CurrentFaults() const;
  bool FinishReceived() const;
  // The last command block written to the window, as written; empty before any.
  std::vector<uint8_t> LastCommandBlock() const;

 private:
  bool HandleCommand(Session& session, const uint8_t* block, std::string* error);
  bool StoreData(Session& session, uint32_t parameter, const uint8_t* payload, int64_t* landing);
  void FaultsChanged();
  // Fires vanish-after-writes once its count of data writes has run down.
  bool VanishDue();

  mutable std::mutex mutex_;  // guards everything below and the storage
  std::unique_ptr<Storage> storage_;
  std::shared_ptr<JournalSink> journal_;
  Faults faults_;
  Hooks hooks_;
  bool gone_ = false;
  bool finished_ = false;
  bool plainDisk_ = false;
  std::vector<uint8_t> lastCommand_;
};

}  // namespace norza::emu
