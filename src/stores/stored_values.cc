#include "stores/stored_values.h"

#include <fmt/format.h>

#include "base/errors.h"
#include "base/utf8.h"
#include "stores/kv_store_rules.h"

namespace vqflow {

std::string stored_bytes(const Value& value, std::string_view key) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number()) return text_form(value);
  const char* kind = value.is_boolean() ? "a boolean"
                     : value.is_null()  ? "None"
                     : value.is_array() ? "a list"
                                        : "a map";
  throw StoreError(
      fmt::format("kv SET {}: invalid input of type {}: convert to a text or a number first",
                  kv_rules::printable_key(key), kind));
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
