#pragma once
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "context/run_state.h"

namespace vqflow {

// A walk ends because a controller node (FOR, IF, audit) cannot go on: bad
// settings, a failed condition check, a missing last result. The failure record,
// when there is one, has been written before this is thrown.
class WalkError : public Error {
 public:
  using Error::Error;
};

namespace walker {

// The run-scoped value of (node_id, field) decoded as UTF-8 text; absent when the
// key is missing. Throws StoreError or ValueError when it cannot be read.
std::optional<std::string> read_run_value(RunState& engine, const std::string& node_id,
                                          const std::string& field);

// Stores `value` under (node_id, field) for the run's key lifetime.
void write_run_value(RunState& engine, const std::string& node_id, const std::string& field,
                     const std::string& value);

// The walk of `paths` (node ids joined by "->"), one after another. Answers 0
// when every path is done, 1 when the run stopped at an audit node. `for_play`
// marks the walk of a FOR loop body (app nodes run again each time).
awaitable<int> for_play_book(RunState* run, std::vector<std::string> paths, std::string uuid,
                             bool for_play = false);
// The FOR node `left`: walks the routes from `right` once per element.
awaitable<void> for_controller(RunState* run, std::string left, std::string right,
                               std::string uuid);
// The IF node `left` against the last app result: true, false, or absent (no
// comparison kind matched).
awaitable<std::optional<bool>> is_condition(RunState* run, std::string left, std::string uuid,
                                            std::string if_else_result);

}  // namespace walker
}  // namespace vqflow
