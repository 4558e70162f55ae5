// The faults a calculator can be told to have: the faults file's keys, its
// text both ways and the counters that discovery and open consume.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace norza::emu {

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

}  // namespace norza::emu
