// Reader of the literal notation, on the loop it shares with the JSON reader
// (its own stack of open containers, so hostile nesting meets the depth limit,
// not a stack overflow).
#include "value/literal.h"

#include <limits>
#include <string>

#include "value/nesting_reader.h"
#include "value/value_internal.h"

namespace vqflow {
namespace {

using value_detail::is_digit;

bool is_name_char(char c) {
  return is_digit(c) || c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

class LiteralReader : public value_detail::NestingReader<LiteralReader> {
  friend class value_detail::NestingReader<LiteralReader>;

  using Error = LiteralError;
  static constexpr std::string_view k_name = "literal";
  static constexpr bool k_trailing_comma = true;
  static constexpr bool k_line_column = false;

  void duplicate_member(std::size_t) {}

  // Lists, tuples and maps.
  static char closer_of(char c) {
    switch (c) {
      case '[':
        return ']';
      case '(':
        return ')';
      case '{':
        return '}';
      default:
        return '\0';
    }
  }

  static bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

  // A tuple with a comma stays a list; "(x)" is just x.
  static void finish_list(value_detail::OpenContainer& tuple) {
    if (tuple.closer == ')' && !tuple.comma && tuple.slot->size() == 1) {
      Value inner = std::move(tuple.slot->get_ref<Value::array_t&>().front());
      *tuple.slot = std::move(inner);
    }
  }

  std::string read_key() {
    if (closer_of(peek()) != '\0') {
      fail("expected a text, a number, True, False or None as a map key");
    }
    const Value key = read_scalar();
    std::string text = key.is_string() ? key.get<std::string>() : text_form(key);
    skip_space();
    if (!at(':')) fail("expected ':' after a map key");
    ++pos_;
    skip_space();
    return text;
  }

  // Length of a text's prefix letter at pos_ (0 or 1) when a text starts there,
  // or npos when none does.
  std::size_t text_prefix_length() const {
    const char c = peek();
    if (c == '\'' || c == '"') return 0;
    if ((c == 'r' || c == 'R' || c == 'u' || c == 'U') && pos_ + 1 < text_.size() &&
        (text_[pos_ + 1] == '\'' || text_[pos_ + 1] == '"')) {
      return 1;
    }
    return std::string_view::npos;
  }

  Value read_scalar() {
    if (text_prefix_length() != std::string_view::npos) return Value(read_texts());
    const char c = peek();
    if (is_digit(c) || c == '.' || c == '+' || c == '-') return read_number();
    if (is_name_char(c)) {
      const std::size_t start = pos_;
      while (is_name_char(peek())) ++pos_;
      const std::string_view word = text_.substr(start, pos_ - start);
      if (word == "True") return Value(true);
      if (word == "False") return Value(false);
      if (word == "None") return Value();
      throw LiteralError("invalid literal at offset " + std::to_string(start) + ": unknown name '" +
                         std::string(word) + "' (the words are True, False and None)");
    }
    fail("expected a value");
  }

  // One or more adjacent texts, joined.
  std::string read_texts() {
    std::string out;
    for (;;) {
      read_text(out);
      const std::size_t after = pos_;
      skip_space();
      if (text_prefix_length() == std::string_view::npos) {
        pos_ = after;
        return out;
      }
    }
  }

  void read_text(std::string& out) {
    bool raw = false;
    if (text_prefix_length() == 1) {
      raw = peek() == 'r' || peek() == 'R';
      ++pos_;
    }
    const std::size_t start = pos_;
    const char quote = text_[pos_];
    const bool triple = text_.substr(pos_, 3) == std::string(3, quote);
    pos_ += triple ? 3 : 1;
    for (;;) {
      if (pos_ >= text_.size()) {
        fail("expected the closing quote of the text at offset " + std::to_string(start));
      }
      const char c = text_[pos_];
      if (c == quote && (!triple || text_.substr(pos_, 3) == std::string(3, quote))) {
        pos_ += triple ? 3 : 1;
        return;
      }
      if ((c == '\n' || c == '\r') && !triple) {
        fail("expected the closing quote of the text at offset " + std::to_string(start));
      }
      if (c == '\\') {
        if (raw) {
          // A raw text keeps its backslashes; one still protects the next quote.
          out += '\\';
          ++pos_;
          if (at(quote) || at('\\')) out += text_[pos_++];
        } else {
          read_escape(out);
        }
        continue;
      }
      pos_ += value_detail::copy_character(out, text_, pos_);
    }
  }

  // Reads `count` hex digits at pos_ into a code; fails when they are missing.
  char32_t read_hex(int count, std::string_view escape) {
    char32_t code = 0;
    for (int i = 0; i < count; ++i) {
      const int digit = pos_ + i < text_.size() ? digit_value(text_[pos_ + i]) : 99;
      if (digit >= 16) {
        fail_at(pos_ + i,
                "expected " + std::to_string(count) + " hex digits after " + std::string(escape));
      }
      code = code * 16 + static_cast<char32_t>(digit);
    }
    pos_ += count;
    return code;
  }

  void read_escape(std::string& out) {
    ++pos_;                            // the backslash
    if (pos_ >= text_.size()) return;  // the missing closing quote is reported next
    const char c = text_[pos_];
    switch (c) {
      case '\n':
        ++pos_;
        return;  // line continuation
      case '\r':
        ++pos_;
        if (at('\n')) ++pos_;
        return;
      case '\\':
      case '\'':
      case '"':
        out += c;
        ++pos_;
        return;
      case 'a':
        out += '\a';
        ++pos_;
        return;
      case 'b':
        out += '\b';
        ++pos_;
        return;
      case 'f':
        out += '\f';
        ++pos_;
        return;
      case 'n':
        out += '\n';
        ++pos_;
        return;
      case 'r':
        out += '\r';
        ++pos_;
        return;
      case 't':
        out += '\t';
        ++pos_;
        return;
      case 'v':
        out += '\v';
        ++pos_;
        return;
      case 'x':
        ++pos_;
        value_detail::append_utf8(out, read_hex(2, "\\x"));
        return;
      case 'u':
      case 'U': {
        ++pos_;
        const char32_t code = c == 'u' ? read_hex(4, "\\u") : read_hex(8, "\\U");
        if (code > 0x10FFFF) fail_at(pos_ - 8, "expected a character code up to 0010ffff");
        if (code >= 0xD800 && code <= 0xDBFF && text_.substr(pos_, 2) == "\\u" &&
            pos_ + 6 <= text_.size()) {
          // A surrogate pair written as two escapes stands for one character.
          char32_t low = 0;
          bool hex = true;
          for (std::size_t i = pos_ + 2; i < pos_ + 6; ++i) {
            const int digit = digit_value(text_[i]);
            hex = hex && digit < 16;
            low = low * 16 + static_cast<char32_t>(hex ? digit : 0);
          }
          if (hex && low >= 0xDC00 && low <= 0xDFFF) {
            pos_ += 6;
            value_detail::append_utf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
            return;
          }
        }
        value_detail::append_utf8(out, code);  // lone surrogates become U+FFFD
        return;
      }
      case 'N':
        fail("named character escapes are not supported");
      default:
        break;
    }
    if (c >= '0' && c <= '7') {
      char32_t code = 0;
      for (int i = 0; i < 3 && pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '7';
           ++i) {
        code = code * 8 + static_cast<char32_t>(text_[pos_++] - '0');
      }
      value_detail::append_utf8(out, code);
      return;
    }
    out += '\\';  // an unknown escape keeps its backslash; the character follows as is
  }

  // Digits with single underscores between them; answers the digits alone.
  std::string read_digits(int radix, bool allow_leading_underscore) {
    std::string digits;
    if (allow_leading_underscore && at('_')) ++pos_;
    while (pos_ < text_.size() && digit_value(text_[pos_]) < radix) {
      digits += text_[pos_++];
      if (at('_')) {
        ++pos_;
        if (pos_ >= text_.size() || digit_value(text_[pos_]) >= radix) {
          fail("expected a digit after '_'");
        }
      }
    }
    return digits;
  }

  Value read_number() {
    bool negative = false;
    if (at('+') || at('-')) {
      negative = at('-');
      ++pos_;
      skip_space();
      if (!is_digit(peek()) && !(at('.') && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1]))) {
        fail("expected a number after the sign");
      }
    }
    const std::size_t start = pos_;
    if (at('0') && pos_ + 1 < text_.size()) {
      const char marker = text_[pos_ + 1];
      const int radix = (marker == 'x' || marker == 'X')   ? 16
                        : (marker == 'o' || marker == 'O') ? 8
                        : (marker == 'b' || marker == 'B') ? 2
                                                           : 0;
      if (radix != 0) {
        pos_ += 2;
        const std::string digits = read_digits(radix, true);
        if (digits.empty()) fail("expected a digit of the number");
        check_number_end();
        return radix_integer(digits, radix, negative);
      }
    }
    const std::string integer_part = read_digits(10, false);
    bool real = false;
    std::string fraction, exponent;
    if (at('.')) {
      real = true;
      ++pos_;
      fraction = read_digits(10, false);
      if (integer_part.empty() && fraction.empty()) fail("expected a digit");
    }
    if (at('e') || at('E')) {
      real = true;
      ++pos_;
      if (at('+') || at('-')) exponent += text_[pos_++];
      const std::string exponent_digits = read_digits(10, false);
      if (exponent_digits.empty()) fail("expected a digit in the exponent");
      exponent += exponent_digits;
    }
    check_number_end();
    const std::string sign = negative ? "-" : "";
    if (real) {
      const std::string canonical = sign + (integer_part.empty() ? "0" : integer_part) + "." +
                                    (fraction.empty() ? "0" : fraction) +
                                    (exponent.empty() ? "" : "e" + exponent);
      return Value(value_detail::decimal_to_double(canonical));
    }
    if (integer_part.size() > 1 && integer_part[0] == '0' &&
        integer_part.find_first_not_of('0') != std::string::npos) {
      fail_at(start, "leading zeros are not allowed in an integer");
    }
    return value_detail::integer_value(sign + integer_part);
  }

  void check_number_end() {
    if (is_name_char(peek()) || at('.')) fail("expected the end of the number");
  }

  static Value radix_integer(const std::string& digits, int radix, bool negative) {
    unsigned long long magnitude = 0;
    double approximate = 0;
    bool overflow = false;
    for (const char c : digits) {
      const auto digit = static_cast<unsigned long long>(digit_value(c));
      approximate = approximate * radix + static_cast<double>(digit);
      if (magnitude > (std::numeric_limits<unsigned long long>::max() - digit) / radix) {
        overflow = true;
      } else {
        magnitude = magnitude * radix + digit;
      }
    }
    constexpr auto k_max = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
    if (!overflow) {
      if (!negative && magnitude <= k_max) return Value(static_cast<long long>(magnitude));
      if (!negative) return Value(magnitude);
      if (magnitude <= k_max + 1) return Value(static_cast<long long>(0 - magnitude));
    }
    return Value(negative ? -approximate : approximate);
  }
};

}  // namespace

Value parse_literal(std::string_view text, std::size_t max_depth) {
  return LiteralReader::parse(text, max_depth);
}

}  // namespace vqflow
