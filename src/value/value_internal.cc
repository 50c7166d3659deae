#include "value/value_internal.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace vqflow::value_detail {

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

Value integer_value(std::string_view number) {
  const char* end = number.data() + number.size();
  long long signed_value = 0;
  if (std::from_chars(number.data(), end, signed_value).ec == std::errc()) {
    return Value(signed_value);
  }
  // from_chars takes no sign for unsigned numbers: negative ones go on to double.
  unsigned long long unsigned_value = 0;
  if (std::from_chars(number.data(), end, unsigned_value).ec == std::errc()) {
    return Value(unsigned_value);
  }
  return Value(decimal_to_double(number));
}

std::size_t copy_character(std::string& out, std::string_view text, std::size_t pos) {
  const Utf8Char ch = decode_utf8(text, pos);
  if (ch.valid) {
    out.append(text.substr(pos, ch.length));
  } else {
    append_utf8(out, k_replacement_char);
  }
  return ch.length;
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

Value& MemberList::slot(std::string key, bool* reused) {
  if (reused) *reused = false;
  std::optional<std::size_t> existing;
  if (positions_.empty()) {
    for (std::size_t i = 0; i < members_.size(); ++i) {
      if (members_[i].first == key) {
        existing = i;
        break;
      }
    }
    if (!existing && members_.size() >= k_linear_limit) {
      positions_.reserve(members_.size() * 2);
      for (std::size_t i = 0; i < members_.size(); ++i) positions_.emplace(members_[i].first, i);
    }
  } else {
    const auto found = positions_.find(key);
    if (found != positions_.end()) existing = found->second;
  }
  if (existing) {
    if (reused) *reused = true;
    last_ = *existing;
    Value& value = members_[*existing].second;
    value = Value();
    return value;
  }
  if (!positions_.empty()) positions_.emplace(key, members_.size());
  last_ = members_.size();
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
  last_ = 0;
  return result;
}

}  // namespace vqflow::value_detail
