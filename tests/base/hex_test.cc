#include "base/hex.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vqflow {
namespace {

TEST(Hex, DigitsAndNumbers) {
  EXPECT_EQ(hex_digit_value('0'), 0);
  EXPECT_EQ(hex_digit_value('9'), 9);
  EXPECT_EQ(hex_digit_value('a'), 10);
  EXPECT_EQ(hex_digit_value('F'), 15);
  for (char c : std::string("gG/:@`\x80 -x")) EXPECT_EQ(hex_digit_value(c), -1) << c;

  struct Case {
    std::string digits;
    std::optional<std::uint32_t> value;
  };
  const std::vector<Case> cases = {
      {"0", 0},
      {"7f", 0x7F},
      {"00e9", 0xE9},
      {"FFFFFFFF", 0xFFFFFFFF},
      {"", std::nullopt},
      {"123456789", std::nullopt},  // more than eight digits
      {"0x1", std::nullopt},
      {"+1", std::nullopt},
      {"1 ", std::nullopt},
      {"-1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_hex(c.digits), c.value) << c.digits;
}

}  // namespace
}  // namespace vqflow
