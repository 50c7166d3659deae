#pragma once
#include <optional>
#include <string>

#include "platform/errors.h"
#include "run/auto.h"

namespace vqflow {

// A walk ends because a controller node (FOR, IF, audit) cannot go on: bad
// settings, a failed condition check, a missing last result. The failure record,
// when there is one, has been written before this is thrown.
class WalkError : public Error {
 public:
  using Error::Error;
};

namespace walker {

// The engine's node settings as a JSON object (the field holds its JSON text).
// Throws WalkError when it is absent or not a JSON object text.
Value node_settings(const Auto& engine);

// "node_name" of the settings entry of `node_id`; throws WalkError when the
// entry or the member is missing.
Value node_name(const Auto& engine, const std::string& node_id);

// The run-scoped value of (node_id, field) decoded as UTF-8 text; absent when the
// key is missing. Throws StoreError or ValueError when it cannot be read.
std::optional<std::string> read_run_value(Auto& engine, const std::string& node_id,
                                          const std::string& field);

// Stores `value` under (node_id, field) for the run's key lifetime.
void write_run_value(Auto& engine, const std::string& node_id, const std::string& field,
                     const std::string& value);

// One failure record: status 1, html "<span>" + text + "</span>".
// Not a coroutine: the arguments are read before it returns.
awaitable<void> write_failure(Auto& engine, const std::string& uuid, const Value& app_uuid,
                              const Value& app_name, const std::string& text);

}  // namespace walker
}  // namespace vqflow
