#include "number_parse.h"

#include <charconv>

namespace norza {

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  const char* first = text.data();
  const char* const last = text.data() + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    first += 2;
  }
  // from_chars takes no sign, space or prefix for an unsigned type, so the
  // whole text being consumed means it was digits only.
  uint64_t result = 0;
  const auto [end, error] = std::from_chars(first, last, result, base);
  if (first == last || error != std::errc() || end != last || result > max) return false;
  *value = result;
  return true;
}

}  // namespace norza
