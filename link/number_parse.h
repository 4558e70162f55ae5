// Numbers given on command lines and in the emulated calculators' faults
// files.
#pragma once

#include <cstdint>
#include <string>

namespace norza {

// The whole text as an unsigned number: decimal, or hexadecimal after "0x"
// or "0X". Digits only: no sign, no spaces, no suffix. False (and *value
// untouched) for an empty text, anything else in it, or a value above max.
bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value);

}  // namespace norza
