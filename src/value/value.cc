#include "value/value.h"

#include <cmath>
#include <limits>

#include "base/errors.h"
#include "value/value_internal.h"

namespace vqflow {
namespace {

// Length of the white space character at text[pos], or 0. Besides ASCII white
// space this covers the separators U+001C-U+001F and the Unicode spaces that
// integer reading skips as well.
std::size_t space_length(std::string_view text, std::size_t pos) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte == ' ' || (byte >= '\t' && byte <= '\r') || (byte >= 0x1C && byte <= 0x1F)) return 1;
  if (byte < 0x80) return 0;
  const auto ch = value_detail::decode_utf8(text, pos);
  if (!ch.valid) return 0;
  const char32_t c = ch.code;
  const bool space = c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
                     c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
  return space ? ch.length : 0;
}

std::string_view trim_spaces(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t n = space_length(text, begin);
    if (n == 0) break;
    begin += n;
  }
  text.remove_prefix(begin);
  // Trailing spaces: walk forward, remembering where the last non-space ended.
  std::size_t end = 0, pos = 0;
  while (pos < text.size()) {
    const std::size_t n = space_length(text, pos);
    if (n == 0) {
      ++pos;
      end = pos;
    } else {
      pos += n;
    }
  }
  return text.substr(0, end);
}

}  // namespace

std::optional<long long> parse_integer(std::string_view text) {
  text = trim_spaces(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate as a negative number so that the minimum fits; saturate.
  constexpr long long k_min = std::numeric_limits<long long>::min();
  long long accumulated = 0;
  bool saturated = false;
  bool previous_digit = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '_') {
      if (!previous_digit || i + 1 == text.size()) return std::nullopt;
      previous_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    previous_digit = true;
    const int digit = c - '0';
    if (!saturated) {
      if (accumulated < (k_min + digit) / 10) {
        saturated = true;
      } else {
        accumulated = accumulated * 10 - digit;
      }
    }
  }
  if (saturated) return negative ? k_min : std::numeric_limits<long long>::max();
  if (negative) return accumulated;
  if (accumulated == k_min) return std::numeric_limits<long long>::max();
  return -accumulated;
}

bool is_integer_text(std::string_view text) { return parse_integer(text).has_value(); }

std::optional<long long> value_to_integer(const Value& value) {
  switch (value.type()) {
    case Value::value_t::number_integer:
      return value.get<long long>();
    case Value::value_t::number_unsigned: {
      const auto number = value.get<unsigned long long>();
      constexpr auto k_max = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
      return number > k_max ? std::numeric_limits<long long>::max()
                            : static_cast<long long>(number);
    }
    case Value::value_t::number_float: {
      const double real = value.get<double>();
      if (!std::isfinite(real)) return std::nullopt;
      const double cut = std::trunc(real);
      // 2^63 is exactly representable; anything at or beyond it saturates.
      if (cut >= 9223372036854775808.0) return std::numeric_limits<long long>::max();
      if (cut <= -9223372036854775808.0) return std::numeric_limits<long long>::min();
      return static_cast<long long>(cut);
    }
    case Value::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case Value::value_t::string:
      return parse_integer(value.get_ref<const std::string&>());
    default:
      return std::nullopt;
  }
}

bool is_json(const Value& value) {
  if (value_to_integer(value)) return false;
  if (!value.is_string()) return true;
  return try_parse_json(value.get_ref<const std::string&>()).has_value();
}

std::optional<Value> try_parse_json(std::string_view text, std::size_t max_depth) {
  // Most texts that are not JSON are plain words: answer those without the
  // cost of a thrown error. A JSON text starts (after white space) with one of
  // these; NaN and Infinity are read too.
  const std::size_t first = text.find_first_not_of(" \t\n\r");
  if (first == std::string_view::npos) return std::nullopt;
  if (std::string_view("{[\"-0123456789tfnNI").find(text[first]) == std::string_view::npos) {
    return std::nullopt;
  }
  try {
    return parse_json(text, max_depth);
  } catch (const JsonError&) {
    return std::nullopt;
  }
}

}  // namespace vqflow
