#include "emulator_journal.h"

#include <filesystem>
#include <limits>
#include <map>

#include <nlohmann/json.hpp>

#include "emulator_protocol.h"

namespace norza::emu {
namespace fs = std::filesystem;

JournalEvent JournalEvent::Command(uint32_t code, uint32_t parameter, int64_t landing) {
  JournalEvent e;
  e.event = "command";
  e.code = code;
  e.name = CommandName(code);
  e.parameter = parameter;
  e.offset = landing;
  return e;
}

JournalEvent JournalEvent::Io(const char* event, int64_t offset, int64_t length) {
  JournalEvent e;
  e.event = event;
  e.offset = offset;
  e.length = length;
  return e;
}

JournalEvent JournalEvent::Simple(const char* event) {
  JournalEvent e;
  e.event = event;
  return e;
}

JournalEvent JournalEvent::Fault(const std::string& kind, uint32_t code) {
  JournalEvent e;
  e.event = "fault";
  e.name = kind;
  e.code = code;
  return e;
}

JournalEvent JournalEvent::Error(const char* operation, int64_t offset, int64_t length) {
  JournalEvent e;
  e.event = "error";
  e.name = operation;
  e.offset = offset;
  e.length = length;
  return e;
}

std::string ToJsonLine(const JournalEvent& e) {
  // ordered_json keeps the keys in the order written: readers of the journal
  // see "event" first, as they always did.
  nlohmann::ordered_json line;
  line["event"] = e.event;
  if (e.event == "command") {
    line["code"] = e.code;
    line["name"] = e.name;
    line["parameter"] = e.parameter;
    if (e.offset >= 0) line["offset"] = e.offset;
  } else if (e.event == "fault") {
    line["kind"] = e.name;
    if (e.code != 0) line["code"] = e.code;
  } else {
    if (e.event == "error") line["op"] = e.name;
    if (e.offset >= 0 && e.event != "window-read") line["offset"] = e.offset;
    if (e.length >= 0) line["length"] = e.length;
  }
  return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

bool ParseJsonLine(const std::string& line, JournalEvent* event) {
  const auto parsed = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  // A flat object of strings, integers and booleans, nothing else.
  if (!parsed.is_object()) return false;
  std::map<std::string, std::string> strings;
  std::map<std::string, int64_t> numbers;
  for (const auto& [key, value] : parsed.items()) {
    if (value.is_string()) {
      strings[key] = value.get<std::string>();
    } else if (value.is_boolean()) {
      numbers[key] = value.get<bool>() ? 1 : 0;
    } else if (value.is_number_unsigned()) {
      const auto n = value.get<uint64_t>();
      if (n > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
      numbers[key] = static_cast<int64_t>(n);
    } else if (value.is_number_integer()) {
      numbers[key] = value.get<int64_t>();
    } else {
      return false;
    }
  }
  auto it = strings.find("event");
  if (it == strings.end()) return false;
  JournalEvent e;
  e.event = it->second;
  if (auto s = strings.find("name"); s != strings.end()) e.name = s->second;
  if (auto s = strings.find("kind"); s != strings.end()) e.name = s->second;
  if (auto s = strings.find("op"); s != strings.end()) e.name = s->second;
  if (auto n = numbers.find("code"); n != numbers.end()) e.code = static_cast<uint32_t>(n->second);
  if (auto n = numbers.find("parameter"); n != numbers.end()) {
    e.parameter = static_cast<uint32_t>(n->second);
  }
  if (auto n = numbers.find("offset"); n != numbers.end()) e.offset = n->second;
  if (auto n = numbers.find("length"); n != numbers.end()) e.length = n->second;
  if (e.event == "window-read") e.offset = kCommandWindowOffset;
  *event = e;
  return true;
}

void MemoryJournal::Record(const JournalEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
}

std::vector<JournalEvent> MemoryJournal::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

void MemoryJournal::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.clear();
}

FileJournal::FileJournal(std::string path) : path_(std::move(path)) {}

void FileJournal::Record(const JournalEvent& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_.is_open()) {
    out_.open(fs::u8path(path_), std::ios::binary | std::ios::app);
    if (!out_.is_open()) return;  // a journal that cannot be written is not the host's problem
  }
  // One write per line so that lines of several processes do not interleave.
  const std::string line = ToJsonLine(event) + "\n";
  out_.write(line.data(), static_cast<std::streamsize>(line.size()));
  out_.flush();
}

}  // namespace norza::emu
