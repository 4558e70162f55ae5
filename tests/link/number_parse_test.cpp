// The numbers of command lines and faults files: decimal or 0x-hex, the
// whole text, up to the caller's maximum.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

#include "number_parse.h"

namespace {

using norza::ParseUnsigned;

constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();
constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMaxSigned64 = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

TEST(ParseUnsigned, DecimalAndHexUpToTheMaximum) {
  const struct {
    const char* text;
    uint64_t max;
    uint64_t value;
  } cases[] = {
      {"0", kMax32, 0},
      {"007", kMax32, 7},
      {"4294967295", kMax32, kMax32},
      {"0xFFFFFFFF", kMax32, kMax32},
      {"0XbeDc", kMax32, 0xBEDC},
      {"0x00", kMax32, 0},
      {"9223372036854775807", kMaxSigned64, kMaxSigned64},
      {"0x7fffffffffffffff", kMaxSigned64, kMaxSigned64},
      {"18446744073709551615", kMax64, kMax64},
      {"1125899906842624", uint64_t{1} << 50, uint64_t{1} << 50},
  };
  for (const auto& c : cases) {
    uint64_t value = 12345;
    EXPECT_TRUE(ParseUnsigned(c.text, c.max, &value)) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ParseUnsigned, RefusesOtherTextAndValuesAboveTheMaximum) {
  const struct {
    const char* text;
    uint64_t max;
  } cases[] = {
      {"", kMax32},
      {"0x", kMax32},
      {"x1", kMax32},
      {"-1", kMax32},
      {"+1", kMax32},
      {" 1", kMax32},
      {"1 ", kMax32},
      {"12z", kMax32},
      {"0xg", kMax32},
      {"1f", kMax32},
      {"0x0x5", kMax32},
      {"2M", kMax32},
      {"4294967296", kMax32},
      {"0x100000000", kMax32},
      {"9223372036854775808", kMaxSigned64},
      {"18446744073709551616", kMax64},
      {"99999999999999999999999", kMax64},
      {"1125899906842625", uint64_t{1} << 50},
      {"10", 9},
  };
  for (const auto& c : cases) {
    uint64_t value = 12345;
    EXPECT_FALSE(ParseUnsigned(c.text, c.max, &value)) << c.text;
    EXPECT_EQ(value, 12345u) << c.text;
  }
}

}  // namespace
