// The journal: what the host did to a calculator, one event at a time, kept
// in memory for tests or appended to a file as JSON lines for other
// processes (norza-emu journal).
#pragma once

#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace norza::emu {

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

}  // namespace norza::emu
