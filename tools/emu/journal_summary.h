// A readable digest of a calculator's journal, for `norza-emu journal`.
#pragma once

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace norza::emu {

struct JournalSummary {
  int events = 0;
  int badLines = 0;
  int opens = 0;
  int closes = 0;
  int flushes = 0;
  int errors = 0;
  std::map<std::string, int> commands;  // by name
  std::vector<uint32_t> progress;       // percents in order, repeats of one value collapsed
  std::vector<std::pair<int64_t, int64_t>> regions;  // merged written ranges: offset, length
  int64_t bytesWritten = 0;                          // by positional writes
  int64_t commandDataBytes = 0;                      // by CMD_DATA blocks
  std::map<int64_t, int> windowReads;                // length -> count
  std::map<std::string, int> faults;                 // kind -> count
  bool finishReceived = false;
};

JournalSummary SummarizeJournal(std::istream& lines);
std::string FormatSummary(const std::string& name, const JournalSummary& summary);

}  // namespace norza::emu
