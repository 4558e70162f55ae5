#include "journal_summary.h"

#include <algorithm>
#include <sstream>

#include "emulator.h"

namespace norza::emu {

JournalSummary SummarizeJournal(std::istream& lines) {
  JournalSummary s;
  std::vector<std::pair<int64_t, int64_t>> ranges;
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    JournalEvent e;
    if (!ParseJsonLine(line, &e)) {
      ++s.badLines;
      continue;
    }
    ++s.events;
    if (e.event == "open") {
      ++s.opens;
    } else if (e.event == "close") {
      ++s.closes;
    } else if (e.event == "flush") {
      ++s.flushes;
    } else if (e.event == "error") {
      ++s.errors;
    } else if (e.event == "window-read") {
      ++s.windowReads[e.length];
    } else if (e.event == "fault") {
      ++s.faults[e.name];
    } else if (e.event == "write" && e.offset >= 0 && e.length > 0) {
      s.bytesWritten += e.length;
      ranges.emplace_back(e.offset, e.length);
    } else if (e.event == "command") {
      ++s.commands[e.name];
      if (e.code == kCmdFinish) s.finishReceived = true;
      if (e.code == kCmdProgress && (s.progress.empty() || s.progress.back() != e.parameter)) {
        s.progress.push_back(e.parameter);
      }
      if (e.code == kCmdData && e.offset >= 0) {
        const int64_t length = e.parameter & 0xFFFF;
        s.commandDataBytes += length;
        ranges.emplace_back(e.offset, length);
      }
    }
  }
  std::sort(ranges.begin(), ranges.end());
  for (const auto& [offset, length] : ranges) {
    if (!s.regions.empty() && offset <= s.regions.back().first + s.regions.back().second) {
      auto& last = s.regions.back();
      last.second = std::max(last.second, offset + length - last.first);
    } else {
      s.regions.emplace_back(offset, length);
    }
  }
  return s;
}

std::string FormatSummary(const std::string& name, const JournalSummary& s) {
  std::ostringstream out;
  out << "calculator " << name << ": " << s.events << " events";
  if (s.badLines > 0) out << " (" << s.badLines << " unreadable lines)";
  out << "\n  opened " << s.opens << " times, closed " << s.closes << " times\n";
  out << "  commands:";
  if (s.commands.empty()) out << " none";
  for (const auto& [command, count] : s.commands) out << ' ' << command << " x" << count;
  out << "\n  progress seen:";
  if (s.progress.empty()) out << " none";
  // One run per transfer (a report lower than the one before starts a new
  // run); long runs show their ends only.
  std::vector<std::vector<uint32_t>> runs;
  for (std::size_t i = 0; i < s.progress.size(); ++i) {
    if (i == 0 || s.progress[i] < s.progress[i - 1]) runs.emplace_back();
    runs.back().push_back(s.progress[i]);
  }
  for (std::size_t r = 0; r < runs.size(); ++r) {
    if (r > 0) out << " |";
    const auto& run = runs[r];
    constexpr std::size_t kEnds = 5;
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (run.size() > 3 * kEnds && i == kEnds) {
        out << " ...";
        i = run.size() - kEnds;
      }
      out << ' ' << run[i];
    }
    if (run.size() > 3 * kEnds) out << " (" << run.size() << " values)";
  }
  out << "\n  written: " << s.bytesWritten << " bytes by positional writes, " << s.commandDataBytes
      << " bytes by CMD_DATA\n";
  for (const auto& [offset, length] : s.regions) {
    out << "    at " << offset << " (0x" << std::hex << offset << std::dec << "): " << length
        << " bytes\n";
  }
  out << "  flushes: " << s.flushes << "\n  window reads:";
  if (s.windowReads.empty()) out << " none";
  for (const auto& [length, count] : s.windowReads)
    out << ' ' << count << " x " << length << " bytes";
  out << '\n';
  if (!s.faults.empty()) {
    out << "  faults fired:";
    for (const auto& [kind, count] : s.faults) out << ' ' << kind << " x" << count;
    out << '\n';
  }
  if (s.errors > 0) out << "  failed I/O: " << s.errors << '\n';
  out << "  finish received: " << (s.finishReceived ? "yes" : "no") << '\n';
  return out.str();
}

}  // namespace norza::emu
