#include "value/value_internal.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace vqflow::value_detail {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t need = 0;
  char32_t code = 0;
  // Bounds of the second byte narrow overlong forms, surrogates and > U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {k_replacement_char, 1, false};
  }
  std::size_t length = 1;
  for (std::size_t i = 0; i < need; ++i) {
    if (pos + length >= text.size()) return {k_replacement_char, length, false};
    const auto byte = static_cast<unsigned char>(text[pos + length]);
    if (i == 0 ? (byte < low || byte > high) : !is_continuation(byte)) {
      return {k_replacement_char, length, false};
    }
    code = (code << 6) | (byte & 0x3F);
    ++length;
  }
  return {code, length, true};
}

void append_utf8(std::string& out, char32_t code) {
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = k_replacement_char;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void append_valid_utf8(std::string& out, std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Copy ASCII runs and valid characters byte for byte.
    const Utf8Char ch = decode_utf8(bytes, pos);
    if (ch.valid) {
      out.append(bytes.substr(pos, ch.length));
    } else {
      append_utf8(out, k_replacement_char);
    }
    pos += ch.length;
  }
}

double decimal_to_double(std::string_view number) {
  bool negative = false;
  std::string_view digits = number;
  if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) {
    negative = digits[0] == '-';
    digits.remove_prefix(1);
  }
  double result = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), result);
  (void)end;
  if (ec == std::errc::result_out_of_range) {
    // Decide between overflow and underflow from the position of the first
    // significant digit and the written exponent.
    long long point_shift = 0;  // decimal exponent of the first significant digit
    bool seen_point = false, seen_significant = false;
    std::size_t i = 0;
    for (; i < digits.size(); ++i) {
      const char c = digits[i];
      if (c == '.') {
        seen_point = true;
      } else if (c >= '0' && c <= '9') {
        if (c != '0' && !seen_significant) seen_significant = true;
        if (seen_significant && !seen_point) ++point_shift;
        if (!seen_significant && seen_point) --point_shift;
      } else {
        break;
      }
    }
    long long exponent = 0;
    if (i < digits.size() && (digits[i] == 'e' || digits[i] == 'E')) {
      ++i;
      bool exp_negative = false;
      if (i < digits.size() && (digits[i] == '-' || digits[i] == '+')) {
        exp_negative = digits[i] == '-';
        ++i;
      }
      for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i) {
        if (exponent < 1'000'000'000) exponent = exponent * 10 + (digits[i] - '0');
      }
      if (exp_negative) exponent = -exponent;
    }
    result = (point_shift + exponent > 0) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -result : result;
}

std::string describe_at(std::string_view text, std::size_t pos) {
  if (pos >= text.size()) return "end of text";
  const Utf8Char ch = decode_utf8(text, pos);
  if (!ch.valid) {
    static constexpr char k_hex[] = "0123456789abcdef";
    const auto byte = static_cast<unsigned char>(text[pos]);
    return std::string("byte 0x") + k_hex[byte >> 4] + k_hex[byte & 0xF];
  }
  return literal_form(Value(std::string(text.substr(pos, ch.length))));
}

Value& MemberList::slot(std::string key) {
  if (positions_.empty()) {
    for (auto& member : members_) {
      if (member.first == key) {
        member.second = Value();
        return member.second;
      }
    }
    if (members_.size() >= k_linear_limit) {
      positions_.reserve(members_.size() * 2);
      for (std::size_t i = 0; i < members_.size(); ++i) positions_.emplace(members_[i].first, i);
    }
  } else {
    const auto found = positions_.find(key);
    if (found != positions_.end()) {
      Value& existing = members_[found->second].second;
      existing = Value();
      return existing;
    }
  }
  if (!positions_.empty()) positions_.emplace(key, members_.size());
  members_.emplace_back(std::move(key), Value());
  return members_.back().second;
}

Value MemberList::take() {
  Value result = Value::object();
  auto& object = result.get_ref<Value::object_t&>();
  object.reserve(members_.size());
  // Plain vector insertion: the keys are already unique.
  for (auto& member : members_)
    object.emplace_back(std::move(member.first), std::move(member.second));
  members_.clear();
  positions_.clear();
  return result;
}

}  // namespace vqflow::value_detail
