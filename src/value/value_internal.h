#pragma once
// Helpers shared by the value writers and the two readers (JSON, literal notation).
// Not part of the public value interface.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/utf8.h"
#include "value/value.h"

namespace vqflow::value_detail {

using vqflow::append_utf8;
using vqflow::append_valid_utf8;
using vqflow::decode_utf8;
using vqflow::k_replacement_char;
using vqflow::Utf8Char;

// The double that a decimal number text reads as (ASCII digits, optional sign,
// point and exponent, no underscores). Overflow gives an infinity, underflow zero.
double decimal_to_double(std::string_view number);

// The value of an integer text (ASCII digits after an optional '-'): a long
// long when it fits, else an unsigned long long, else the nearest double.
Value integer_value(std::string_view number);

// Appends the character at text[pos] (pos < text.size()) as it is, or U+FFFD
// when it is ill-formed; answers how many bytes it took.
std::size_t copy_character(std::string& out, std::string_view text, std::size_t pos);

// How a fault is shown in a reader's message: 'x', '\n', or "end of text".
std::string describe_at(std::string_view text, std::size_t pos);

// Members of a map under construction. Keys are kept in first-seen order; a
// repeated key replaces the value at its first position. Lookups stay cheap for
// maps with many members (hostile input must not make building quadratic).
class MemberList {
 public:
  // The slot for `key` (new at the end, or the existing one emptied for
  // reuse, which *reused tells when given).
  Value& slot(std::string key, bool* reused = nullptr);
  // The key of the slot handed out last (the list must not be empty).
  const std::string& last_key() const { return members_[last_].first; }
  // Moves the members into an ordered map value.
  Value take();

 private:
  static constexpr std::size_t k_linear_limit = 16;
  std::vector<std::pair<std::string, Value>> members_;
  std::unordered_map<std::string, std::size_t> positions_;
  std::size_t last_ = 0;
};

}  // namespace vqflow::value_detail
