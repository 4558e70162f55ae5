#include "number_parse.h"

namespace norza {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  std::size_t i = 0;
  uint64_t base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    i = 2;
  }
  if (i >= text.size()) return false;
  uint64_t result = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    uint64_t digit;
    if (c >= '0' && c <= '9') digit = static_cast<uint64_t>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<uint64_t>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<uint64_t>(c - 'A' + 10);
    else return false;
    // result * base + digit > max, asked without overflowing.
    if (digit > max || result > (max - digit) / base) return false;
    result = result * base + digit;
  }
  *value = result;
  return true;
}

}  // namespace norza
