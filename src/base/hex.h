#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

namespace vqflow {

// The value of one hexadecimal digit (0-9, a-f, A-F), or -1 for any other byte.
int hex_digit_value(char c);

// The number written by `digits`, one to eight hexadecimal digits and nothing
// else (no sign, no "0x"); absent for any other text.
std::optional<std::uint32_t> parse_hex(std::string_view digits);

}  // namespace vqflow
