#pragma once
#include <optional>
#include <string>
#include <string_view>

// Rules the in-process and embedded stores share so that they answer exactly as
// a Redis server does.

namespace vqflow::kv_rules {

// The integer a stored value reads as under Redis's rule: optional '-', decimal
// digits, no leading zeros or white space, within 64 bits. Absent otherwise.
std::optional<long long> parse_stored_integer(std::string_view text);

// value + delta for incr/decr; throws StoreError (naming `what` and `key`) when the
// stored value is not an integer or the result would overflow.
long long add_to_stored(const std::optional<std::string>& stored, long long delta,
                        const std::string& what, const std::string& key);

// Checks an expiry given to set; throws StoreError unless it is positive and
// small enough to add to the clock.
void check_expire_seconds(const std::string& what, const std::string& key,
                          std::optional<long long> expire_seconds);

// Keys in error messages: cut to a readable length, control bytes escaped.
std::string printable_key(std::string_view key);

}  // namespace vqflow::kv_rules
