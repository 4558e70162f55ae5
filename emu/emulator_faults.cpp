#include "emulator_faults.h"

#include <limits>
#include <sstream>

#include "number_parse.h"

namespace norza::emu {

bool Faults::Empty() const { return FormatFaults(*this).empty(); }

bool Faults::operator==(const Faults& other) const {
  return failWrites == other.failWrites && rejectCommand == other.rejectCommand &&
         rejectCount == other.rejectCount && vanishAfterWrites == other.vanishAfterWrites &&
         appearAfterPolls == other.appearAfterPolls && returnAfterPolls == other.returnAfterPolls &&
         denyOpens == other.denyOpens && rejectNext == other.rejectNext &&
         dropData == other.dropData && returnBlank == other.returnBlank;
}

namespace {

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

}  // namespace

const std::array<FaultSetting, 10> kFaultSettings = {{
    {"fail-writes", [](Faults& f, uint32_t v) { f.failWrites = v; }},
    {"reject-command", [](Faults& f, uint32_t v) { f.rejectCommand = v; }},
    {"reject-count", [](Faults& f, uint32_t v) { f.rejectCount = v; }},
    {"vanish-after-writes", [](Faults& f, uint32_t v) { f.vanishAfterWrites = v; }},
    {"appear-after-polls", [](Faults& f, uint32_t v) { f.appearAfterPolls = v; }},
    {"return-after-polls", [](Faults& f, uint32_t v) { f.returnAfterPolls = v; }},
    {"deny-opens", [](Faults& f, uint32_t v) { f.denyOpens = v; }},
    {"reject-next", [](Faults& f, uint32_t v) { f.rejectNext = v; }},
    {"drop-data", [](Faults& f, uint32_t v) { f.dropData = v; }},
    {"return-blank", [](Faults& f, uint32_t v) { f.returnBlank = v; }},
}};

bool SetFault(const std::string& key, uint32_t value, Faults* faults) {
  for (const FaultSetting& setting : kFaultSettings) {
    if (key == setting.key) {
      setting.set(*faults, value);
      return true;
    }
  }
  return false;
}

bool ConsumeHiddenPoll(Faults& faults) {
  if (faults.appearAfterPolls == 0) return false;
  --faults.appearAfterPolls;
  return true;
}

bool ConsumeReturnPoll(Faults& faults) {
  if (!faults.returnAfterPolls) return false;
  if (*faults.returnAfterPolls > 1) {
    --*faults.returnAfterPolls;
    return false;
  }
  faults.returnAfterPolls.reset();
  return true;
}

bool ConsumeDeniedOpen(Faults& faults) {
  if (faults.denyOpens == 0) return false;
  --faults.denyOpens;
  return true;
}

bool ParseFaults(const std::string& text, Faults* faults, std::string* error) {
  Faults result;
  std::istringstream in(text);
  std::string line;
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return false;
  };
  while (std::getline(in, line)) {
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    line = Trim(line);
    if (line.empty()) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return fail("not key=value: " + line);
    const std::string key = Trim(line.substr(0, eq));
    uint64_t value = 0;
    if (!ParseUnsigned(Trim(line.substr(eq + 1)), std::numeric_limits<uint32_t>::max(), &value)) {
      return fail("bad number in: " + line);
    }
    if (!SetFault(key, static_cast<uint32_t>(value), &result)) return fail("unknown fault: " + key);
  }
  *faults = result;
  return true;
}

std::string FormatFaults(const Faults& faults) {
  std::ostringstream out;
  if (faults.failWrites > 0) out << "fail-writes=" << faults.failWrites << '\n';
  if (faults.rejectCommand) {
    out << "reject-command=0x" << std::hex << std::uppercase << *faults.rejectCommand << std::dec
        << '\n';
    if (faults.rejectCount > 0) out << "reject-count=" << faults.rejectCount << '\n';
  }
  if (faults.vanishAfterWrites) out << "vanish-after-writes=" << *faults.vanishAfterWrites << '\n';
  if (faults.appearAfterPolls > 0) out << "appear-after-polls=" << faults.appearAfterPolls << '\n';
  if (faults.returnAfterPolls) out << "return-after-polls=" << *faults.returnAfterPolls << '\n';
  if (faults.denyOpens > 0) out << "deny-opens=" << faults.denyOpens << '\n';
  if (faults.rejectNext > 0) out << "reject-next=" << faults.rejectNext << '\n';
  if (faults.dropData > 0) out << "drop-data=" << faults.dropData << '\n';
  if (faults.returnBlank > 0) out << "return-blank=" << faults.returnBlank << '\n';
  return out.str();
}

}  // namespace norza::emu
