#include "apps/stored_values.h"

#include <fmt/format.h>

#include "platform/errors.h"
#include "platform/kv_store_rules.h"

namespace vqflow {

std::string stored_bytes(const Value& value, std::string_view key) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number()) return text_form(value);
  const char* kind = value.is_boolean() ? "a boolean"
                     : value.is_null()  ? "None"
                     : value.is_array() ? "a list"
                                        : "a map";
  throw StoreError(fmt::format("kv SET {}: invalid input of type {}: convert to a text or a number first",
                               kv_rules::printable_key(key), kind));
}

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) low = 0xA0;   // overlong
      if (c == 0xED) high = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) low = 0x90;   // overlong
      if (c == 0xF4) high = 0x8F;  // beyond U+10FFFF
    } else {
      return false;
    }
    if (i + length > n) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

std::string decode_stored_text(std::string stored, std::string_view key) {
  if (!is_valid_utf8(stored)) {
    throw ValueError(
        fmt::format("kv GET {}: stored bytes are not UTF-8 text", kv_rules::printable_key(key)));
  }
  return stored;
}

bool is_truthy(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
      return false;
    case Value::value_t::boolean:
      return value.get<bool>();
    case Value::value_t::number_integer:
      return value.get<long long>() != 0;
    case Value::value_t::number_unsigned:
      return value.get<unsigned long long>() != 0;
    case Value::value_t::number_float:
      return value.get<double>() != 0.0;
    case Value::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Value::value_t::array:
    case Value::value_t::object:
      return !value.empty();
    default:
      return true;
  }
}

}  // namespace vqflow
