#pragma once
// Helpers shared by the value writers and the two readers (JSON, literal notation).
// Not part of the public value interface.
#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "value/value.h"

namespace vqflow::value_detail {

inline constexpr char32_t k_replacement_char = 0xFFFD;

// One character read from UTF-8 bytes. When `valid` is false, `length` covers the
// maximal ill-formed subpart (at least one byte) and `code` is U+FFFD.
struct Utf8Char {
  char32_t code;
  std::size_t length;
  bool valid;
};

// Reads the character at text[pos] (pos < text.size()).
Utf8Char decode_utf8(std::string_view text, std::size_t pos);

// Appends `code` as UTF-8; surrogates and values beyond U+10FFFF become U+FFFD.
void append_utf8(std::string& out, char32_t code);

// Appends `bytes` with every ill-formed sequence replaced by U+FFFD.
void append_valid_utf8(std::string& out, std::string_view bytes);

// The double that a decimal number text reads as (ASCII digits, optional sign,
// point and exponent, no underscores). Overflow gives an infinity, underflow zero.
double decimal_to_double(std::string_view number);

// How a fault is shown in a reader's message: 'x', '\n', or "end of text".
std::string describe_at(std::string_view text, std::size_t pos);

// Members of a map under construction. Keys are kept in first-seen order; a
// repeated key replaces the value at its first position. Lookups stay cheap for
// maps with many members (hostile input must not make building quadratic).
class MemberList {
 public:
  // The slot for `key` (new at the end, or the existing one emptied for reuse).
  Value& slot(std::string key);
  // Moves the members into an ordered map value.
  Value take();

 private:
  static constexpr std::size_t k_linear_limit = 16;
  std::vector<std::pair<std::string, Value>> members_;
  std::unordered_map<std::string, std::size_t> positions_;
};

}  // namespace vqflow::value_detail
