#pragma once
#include <string>
#include <string_view>

#include "value/value.h"

namespace vqflow {

// Bytes the key-value client writes for a value: a text as it is, an integer in
// decimal, a real in its text form. Booleans, null, lists and maps have no
// stored form: StoreError naming `key`.
std::string stored_bytes(const Value& value, std::string_view key);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing beyond U+10FFFF): what decoding stored bytes as text requires.
bool is_valid_utf8(std::string_view text);

// Stored bytes decoded as text; ValueError naming `key` when they are not UTF-8.
std::string decode_stored_text(std::string stored, std::string_view key);

// Truth of a value as a condition: false for null, false, zero, the empty text
// and empty lists and maps; true otherwise.
bool is_truthy(const Value& value);

}  // namespace vqflow
