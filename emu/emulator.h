// The emulated calculator in update mode: a fixed-size disk that answers the
// sector command protocol at sector 170, keeps a journal of what the host did
// and can be told to misbehave (faults). The core knows nothing of backends:
// it sees "write(offset, bytes)", "read(offset, length)" and "flush" on a
// session, so the same code serves the in-memory test backend, the
// directory-backed backend of NORZA_EMULATOR_DIR and a FUSE server.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "byte_order.h"

namespace norza::emu {

inline constexpr int64_t kCommandWindowOffset = 87040;  // sector 170
inline constexpr std::size_t kBlockSize = 512;
inline constexpr uint32_t kMagic = 0xAA5555AAu;
inline constexpr uint32_t kSignature = 0x44435842u;  // "BXCD"
inline constexpr uint32_t kReplyAccepted = 0x80000000u;
inline constexpr std::size_t kPayloadOffset = 20;
inline constexpr uint32_t kMaxPayload = 256;
inline constexpr int64_t kWindowReadBefore = 15360;
inline constexpr int64_t kWindowReadAfter = 15872;

inline constexpr uint32_t kCmdFinish = 0xBEC1;
inline constexpr uint32_t kCmdData = 0xBEC6;
inline constexpr uint32_t kCmdCheckSize = 0xBEC7;
inline constexpr uint32_t kCmdProgress = 0xBEDC;

inline constexpr const char* kDefaultVendor = "ZK";
inline constexpr const char* kDefaultProduct = "Norza update";
inline constexpr const char* kRevision = "1.00";

// "CMD_PROGRESS" etc., "CMD_UNKNOWN" for codes the calculator does not know.
const char* CommandName(uint32_t code);

using norza::LoadLe32;
using norza::StoreLe32;

// A command block as the host builds it (payload only for CMD_DATA).
std::array<uint8_t, kBlockSize> MakeCommandBlock(uint32_t code, uint32_t parameter,
                                                 const uint8_t* payload = nullptr,
                                                 std::size_t payloadLength = 0);
// True when a 512-byte write at the command window carries a command.
bool IsCommandBlock(const uint8_t* bytes, std::size_t length);

// ---------------------------------------------------------------------------
// Faults

struct Faults {
  uint32_t failWrites = 0;                    // fail the next N positional data writes
  std::optional<uint32_t> rejectCommand;      // answer this code with a wrong reply code
  uint32_t rejectCount = 0;                   // how often; 0 = every time
  std::optional<uint32_t> vanishAfterWrites;  // disappear after N more data writes
  uint32_t appearAfterPolls = 0;              // hidden from the first N discovery passes
  std::optional<uint32_t> returnAfterPolls;   // after vanishing, listed again by the Nth pass
  uint32_t denyOpens = 0;                     // the next N opens fail: permission denied
  uint32_t rejectNext = 0;                    // answer the next N commands, any code, wrongly
  uint32_t dropData = 0;  // acknowledge the next N CMD_DATA blocks, keep nothing
  // Non-zero: a calculator that returns comes back with a blank disk, as
  // another calculator plugged in under the same path (no serial, a swap).
  uint32_t returnBlank = 0;

  bool Empty() const;
  bool operator==(const Faults& other) const;
};

// Every fault by the name the faults file and `norza-emu plug` give it.
struct FaultSetting {
  const char* key;
  void (*set)(Faults& faults, uint32_t value);
};
extern const std::array<FaultSetting, 10> kFaultSettings;
// Sets the fault named key to value; false for a name not in kFaultSettings.
bool SetFault(const std::string& key, uint32_t value, Faults* faults);

// Lines "key=value"; numbers decimal or 0x-hex; '#' starts a comment.
// false (and *error) on an unknown key or a bad number.
bool ParseFaults(const std::string& text, Faults* faults, std::string* error);

// Consumes one discovery pass of appear-after-polls: true when the disk stays
// hidden from this pass.
bool ConsumeHiddenPoll(Faults& faults);

// Consumes one discovery pass of return-after-polls for a vanished disk: true
// when this pass lists it again (the fault is then spent). Without the fault
// a vanished disk stays gone.
bool ConsumeReturnPoll(Faults& faults);

// Consumes one of deny-opens: true when this open is refused.
bool ConsumeDeniedOpen(Faults& faults);
// Only the faults still armed, one per line, in a fixed order.
std::string FormatFaults(const Faults& faults);

// ---------------------------------------------------------------------------
// Journal

struct JournalEvent {
  // "open", "close", "command", "write", "read", "window-read", "flush",
  // "fault", "error".
  std::string event;
  uint32_t code = 0;       // command: its code; fault reject-command: the code
  std::string name;        // command: its name; fault: its kind; error: the operation
  uint32_t parameter = 0;  // command
  int64_t offset = -1;     // write, read, error, CMD_DATA landing (-1 = none)
  int64_t length = -1;     // write, read, window-read, error (-1 = none)

  static JournalEvent Command(uint32_t code, uint32_t parameter, int64_t landing = -1);
  static JournalEvent Io(const char* event, int64_t offset, int64_t length);
  static JournalEvent Simple(const char* event);
  static JournalEvent Fault(const std::string& kind, uint32_t code = 0);
  static JournalEvent Error(const char* operation, int64_t offset, int64_t length);
};

// One short JSON object, no newline, e.g.
// {"event":"command","code":48860,"name":"CMD_PROGRESS","parameter":42}
std::string ToJsonLine(const JournalEvent& event);
// Accepts the lines ToJsonLine writes (and any flat JSON object of strings,
// integers and booleans). false on anything else.
bool ParseJsonLine(const std::string& line, JournalEvent* event);

class JournalSink {
 public:
  virtual ~JournalSink() = default;
  virtual void Record(const JournalEvent& event) = 0;
};

// Keeps the events for tests; Events() may be called from any thread.
class MemoryJournal : public JournalSink {
 public:
  void Record(const JournalEvent& event) override;
  std::vector<JournalEvent> Events() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<JournalEvent> events_;
};

// Appends one line per event to a file, flushed at once so that other
// processes (norza-emu journal) see whole lines.
class FileJournal : public JournalSink {
 public:
  explicit FileJournal(std::string path);
  void Record(const JournalEvent& event) override;

 private:
  std::mutex mutex_;
  std::string path_;
  std::ofstream out_;
};

// ---------------------------------------------------------------------------
// Storage: the calculator's disk bytes, a fixed size.

class Storage {
 public:
  virtual ~Storage() = default;
  virtual int64_t Size() const = 0;
  // Whole transfers inside [0, Size()); false otherwise or on an I/O error.
  virtual bool Read(int64_t offset, void* out, std::size_t length) = 0;
  virtual bool Write(int64_t offset, const void* data, std::size_t length) = 0;
  virtual bool Flush() = 0;
};

class MemoryStorage : public Storage {
 public:
  explicit MemoryStorage(int64_t size);
  int64_t Size() const override;
  bool Read(int64_t offset, void* out, std::size_t length) override;
  bool Write(int64_t offset, const void* data, std::size_t length) override;
  bool Flush() override;

 private:
  std::vector<uint8_t> bytes_;
};

// A disk image file whose size is fixed when opened. I/O fails once the file
// has been deleted (the cable was pulled).
class FileStorage : public Storage {
 public:
  // nullptr when the file cannot be opened for reading and writing.
  static std::unique_ptr<FileStorage> Open(const std::string& utf8Path);
  int64_t Size() const override;
  bool Read(int64_t offset, void* out, std::size_t length) override;
  bool Write(int64_t offset, const void* data, std::size_t length) override;
  bool Flush() override;

 private:
  FileStorage(std::string path, int64_t size);
  bool Present() const;

  std::string path_;
  int64_t size_;
  std::fstream file_;
};

// ---------------------------------------------------------------------------
// The calculator.

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
