#pragma once
#include <optional>
#include <string>

#include "context/run_state.h"
#include "value/value.h"

namespace vqflow {

// Node result pair: status (2 marks a failed node) and result text.
struct NodeResult {
  Value status;
  std::string result;
};

namespace apps {

// The result of node `app_uuid` in this run: invoked and recorded once per run
// (each time inside a FOR loop body, `for_play`), else read back from the
// run-scoped keys. Stores the pair and writes the node's log record.
awaitable<NodeResult> get_app_data(RunState* run, std::string uuid, std::string app_uuid,
                                   std::optional<Value> app_info, bool for_play);

}  // namespace apps
}  // namespace vqflow
