// JSON reader: standard JSON plus NaN, Infinity and -Infinity. It keeps its own
// stack of open containers, so nesting costs heap, never call stack, and the
// depth limit turns hostile nesting into an error.
#include <charconv>
#include <deque>
#include <limits>
#include <string>

#include "base/errors.h"
#include "value/value.h"
#include "value/value_internal.h"

namespace vqflow {
namespace {

using value_detail::describe_at;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class JsonReader {
 public:
  JsonReader(std::string_view text, std::size_t max_depth) : text_(text), max_depth_(max_depth) {}

  Value read() {
    Value root;
    bool want_value = true;
    skip_space();
    for (;;) {
      if (want_value) {
        const char c = peek();
        if (c == '[' || c == '{') {
          if (frames_.size() >= max_depth_) {
            throw JsonError("JSON nests deeper than " + std::to_string(max_depth_) +
                            " levels at offset " + std::to_string(pos_));
          }
          Value& slot = new_slot(root);
          ++pos_;
          frames_.push_back(Frame{c == '{', &slot, {}, {}});
          if (c == '[') slot = Value::array();
          skip_space();
          if (peek() == (c == '{' ? '}' : ']')) {
            ++pos_;
            close_top();
            want_value = false;
          } else if (c == '{') {
            read_key();
          }
          continue;
        }
        Value scalar = read_scalar();
        new_slot(root) = std::move(scalar);
        want_value = false;
        continue;
      }
      skip_space();
      if (frames_.empty()) {
        if (pos_ != text_.size()) fail("expected end of text");
        return root;
      }
      Frame& top = frames_.back();
      const char c = peek();
      if (c == ',' && pos_ < text_.size()) {
        ++pos_;
        skip_space();
        if (top.is_object) read_key();
        want_value = true;
      } else if (c == (top.is_object ? '}' : ']') && pos_ < text_.size()) {
        ++pos_;
        close_top();
      } else {
        fail(top.is_object ? "expected ',' or '}'" : "expected ',' or ']'");
      }
    }
  }

 private:
  // An open list (built in place in *slot) or map (members gathered first).
  struct Frame {
    bool is_object;
    Value* slot;
    value_detail::MemberList members;
    std::string key;  // the key whose value is being read
  };

  char peek() const { return pos_ < text_.size() ? text_[pos_] : '\0'; }

  [[noreturn]] void fail(std::string_view problem) const { fail_at(pos_, problem); }

  [[noreturn]] void fail_at(std::size_t pos, std::string_view problem) const {
    throw JsonError("invalid JSON at offset " + std::to_string(pos) + ": " + std::string(problem) +
                    ", found " + describe_at(text_, pos));
  }

  void skip_space() {
    while (pos_ < text_.size()) {
      const char c = text_[pos_];
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') break;
      ++pos_;
    }
  }

  // Where the next value goes: the root, a new list element or the pending member.
  Value& new_slot(Value& root) {
    if (frames_.empty()) return root;
    Frame& top = frames_.back();
    if (top.is_object) return top.members.slot(std::move(top.key));
    auto& list = top.slot->get_ref<Value::array_t&>();
    list.emplace_back();
    return list.back();
  }

  void close_top() {
    Frame& top = frames_.back();
    if (top.is_object) *top.slot = top.members.take();
    frames_.pop_back();
  }

  void read_key() {
    if (peek() != '"' || pos_ >= text_.size()) fail("expected '\"' to begin a member name");
    frames_.back().key = read_string();
    skip_space();
    if (peek() != ':' || pos_ >= text_.size()) fail("expected ':' after a member name");
    ++pos_;
    skip_space();
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
    bool negative = false;
    if (peek() == '-') {
      negative = true;
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
    if (integer) {
      long long signed_value = 0;
      const char* end = number.data() + number.size();
      if (std::from_chars(number.data(), end, signed_value).ec == std::errc()) {
        return Value(signed_value);
      }
      unsigned long long unsigned_value = 0;
      if (!negative && std::from_chars(number.data(), end, unsigned_value).ec == std::errc()) {
        return Value(unsigned_value);
      }
    }
    return Value(value_detail::decimal_to_double(number));
  }

  // Reads four hex digits at pos_; -1 when they are not there.
  long read_hex4() {
    if (text_.size() - pos_ < 4) return -1;
    long code = 0;
    for (int i = 0; i < 4; ++i) {
      const int digit = hex_value(text_[pos_ + i]);
      if (digit < 0) return -1;
      code = code * 16 + digit;
    }
    pos_ += 4;
    return code;
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
        const auto ch = value_detail::decode_utf8(text_, pos_);
        if (ch.valid) {
          out.append(text_.substr(pos_, ch.length));
        } else {
          value_detail::append_utf8(out, value_detail::k_replacement_char);
        }
        pos_ += ch.length;
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

  std::string_view text_;
  std::size_t max_depth_;
  std::size_t pos_ = 0;
  std::deque<Frame> frames_;  // a deque: frames never move while children point into them
};

}  // namespace

Value parse_json(std::string_view text, std::size_t max_depth) {
  return JsonReader(text, max_depth).read();
}

}  // namespace vqflow
