#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/errors.h"

namespace vqflow {

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

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing beyond U+10FFFF).
bool is_valid_utf8(std::string_view text);

// The character (code point) at index `n` of a UTF-8 text, negative counting
// from the end; absent when out of range. An ill-formed subpart counts as one
// character.
std::optional<std::string> code_point_at(std::string_view text, long long n);

// Line and column of byte `offset` (at most text.size()) in `text`: lines end
// at a line feed; columns count characters, an ill-formed subpart as one.
TextPosition position_in_text(std::string_view text, std::size_t offset);

}  // namespace vqflow
