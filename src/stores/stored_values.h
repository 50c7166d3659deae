#pragma once
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "value/value.h"

namespace vqflow {

// Bytes the key-value client writes for a value: a text as it is, an integer in
// decimal, a real in its text form. Booleans, null, lists and maps have no
// stored form: StoreError naming `key`.
std::string stored_bytes(const Value& value, std::string_view key);

// Stored bytes decoded as text; ValueError naming `key` when they are not UTF-8.
std::string decode_stored_text(std::string stored, std::string_view key);

// Truth of a value as a condition: false for null, false, zero, the empty text
// and empty lists and maps; true otherwise.
bool is_truthy(const Value& value);

}  // namespace vqflow
