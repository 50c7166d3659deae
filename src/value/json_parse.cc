// JSON reader: standard JSON plus NaN, Infinity and -Infinity, on the loop it
// shares with the literal reader (its own stack of open containers, so the
// depth limit turns hostile nesting into an error).
#include <limits>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/hex.h"
#include "value/nesting_reader.h"
#include "value/value.h"
#include "value/value_internal.h"

namespace vqflow {
namespace {

using value_detail::is_digit;

class JsonReader : public value_detail::NestingReader<JsonReader> {
  friend class value_detail::NestingReader<JsonReader>;

  using Error = JsonError;
  static constexpr std::string_view k_name = "JSON";
  static constexpr bool k_trailing_comma = false;
  static constexpr bool k_line_column = true;

 public:
  static Value parse_noting(std::string_view text, std::size_t max_depth,
                            std::vector<DuplicateMember>* duplicates) {
    JsonReader reader;
    reader.text_ = text;
    reader.max_depth_ = max_depth;
    reader.duplicates_ = duplicates;
    return reader.read();
  }

 private:
  std::vector<DuplicateMember>* duplicates_ = nullptr;

  // The path to the map that holds the repeated key: the member or element of
  // each enclosing container that is being read.
  void duplicate_member(std::size_t key_pos) {
    if (!duplicates_) return;
    DuplicateMember found;
    found.parents = Value::array();
    for (std::size_t i = 0; i + 1 < frames_.size(); ++i) {
      const value_detail::OpenContainer& frame = frames_[i];
      if (frame.is_map()) {
        found.parents.push_back(frame.members.last_key());
      } else {
        found.parents.push_back(frame.slot->size() - 1);
      }
    }
    found.key = frames_.back().members.last_key();
    found.at = position_in_text(text_, key_pos);
    duplicates_->push_back(std::move(found));
  }

  static char closer_of(char c) { return c == '[' ? ']' : c == '{' ? '}' : '\0'; }

  static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

  static void finish_list(value_detail::OpenContainer&) {}

  std::string read_key() {
    if (peek() != '"' || pos_ >= text_.size()) fail("expected '\"' to begin a member name");
    std::string key = read_string();
    skip_space();
    if (peek() != ':' || pos_ >= text_.size()) fail("expected ':' after a member name");
    ++pos_;
    skip_space();
    return key;
  }

  Value read_scalar() {
    const std::string_view rest = text_.substr(pos_);
    const char c = peek();
    if (c == '"' && pos_ < text_.size()) return read_string();
    if (c == '-' || is_digit(c)) return read_number();
    struct Word {
      std::string_view text;
      Value value;
    };
    static const Word k_words[] = {
        {"true", Value(true)},
        {"false", Value(false)},
        {"null", Value()},
        {"NaN", Value(std::numeric_limits<double>::quiet_NaN())},
        {"Infinity", Value(std::numeric_limits<double>::infinity())},
    };
    for (const Word& word : k_words) {
      if (rest.substr(0, word.text.size()) == word.text) {
        pos_ += word.text.size();
        return word.value;
      }
    }
    fail("expected a value");
  }

  Value read_number() {
    const std::size_t start = pos_;
    if (peek() == '-') {
      ++pos_;
      if (text_.substr(pos_, 8) == "Infinity") {
        pos_ += 8;
        return Value(-std::numeric_limits<double>::infinity());
      }
    }
    if (peek() == '0') {
      ++pos_;
    } else if (is_digit(peek())) {
      while (is_digit(peek())) ++pos_;
    } else {
      fail("expected a digit");
    }
    bool integer = true;
    if (peek() == '.') {
      integer = false;
      ++pos_;
      if (!is_digit(peek())) fail("expected a digit after '.'");
      while (is_digit(peek())) ++pos_;
    }
    if (peek() == 'e' || peek() == 'E') {
      integer = false;
      ++pos_;
      if (peek() == '+' || peek() == '-') ++pos_;
      if (!is_digit(peek())) fail("expected a digit in the exponent");
      while (is_digit(peek())) ++pos_;
    }
    const std::string_view number = text_.substr(start, pos_ - start);
    if (integer) return value_detail::integer_value(number);
    return Value(value_detail::decimal_to_double(number));
  }

  // Reads four hex digits at pos_; -1 when they are not there.
  long read_hex4() {
    if (text_.size() - pos_ < 4) return -1;
    const std::optional<std::uint32_t> code = parse_hex(text_.substr(pos_, 4));
    if (!code) return -1;
    pos_ += 4;
    return static_cast<long>(*code);
  }

  std::string read_string() {
    ++pos_;  // opening quote
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) fail("expected '\"' to end the string");
      const auto byte = static_cast<unsigned char>(text_[pos_]);
      if (byte == '"') {
        ++pos_;
        return out;
      }
      if (byte == '\\') {
        read_escape(out);
      } else if (byte < 0x20) {
        fail("expected an escape instead of a control character");
      } else if (byte < 0x80) {
        const std::size_t run_start = pos_;
        while (pos_ < text_.size()) {
          const auto b = static_cast<unsigned char>(text_[pos_]);
          if (b < 0x20 || b >= 0x80 || b == '"' || b == '\\') break;
          ++pos_;
        }
        out.append(text_.substr(run_start, pos_ - run_start));
      } else {
        pos_ += value_detail::copy_character(out, text_, pos_);
      }
    }
  }

  void read_escape(std::string& out) {
    const std::size_t escape_start = pos_;
    ++pos_;
    const char c = peek();
    if (pos_ >= text_.size()) fail("expected an escape character");
    ++pos_;
    switch (c) {
      case '"':
        out += '"';
        return;
      case '\\':
        out += '\\';
        return;
      case '/':
        out += '/';
        return;
      case 'b':
        out += '\b';
        return;
      case 'f':
        out += '\f';
        return;
      case 'n':
        out += '\n';
        return;
      case 'r':
        out += '\r';
        return;
      case 't':
        out += '\t';
        return;
      case 'u':
        break;
      default:
        fail_at(escape_start + 1, "expected an escape character");
    }
    const long code = read_hex4();
    if (code < 0) fail("expected four hex digits after \\u");
    if (code >= 0xD800 && code <= 0xDBFF && text_.substr(pos_, 2) == "\\u") {
      const std::size_t saved = pos_;
      pos_ += 2;
      const long low = read_hex4();
      if (low >= 0xDC00 && low <= 0xDFFF) {
        value_detail::append_utf8(out, 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00));
        return;
      }
      pos_ = saved;  // not a pair: the next escape is read on its own
    }
    // A lone surrogate cannot be kept in UTF-8; append_utf8 writes U+FFFD.
    value_detail::append_utf8(out, static_cast<char32_t>(code));
  }
};

}  // namespace

Value parse_json(std::string_view text, std::size_t max_depth) {
  return JsonReader::parse(text, max_depth);
}

Value parse_json_noting_duplicates(std::string_view text, std::vector<DuplicateMember>& duplicates,
                                   std::size_t max_depth) {
  return JsonReader::parse_noting(text, max_depth, &duplicates);
}

}  // namespace vqflow
