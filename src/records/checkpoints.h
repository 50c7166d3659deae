#pragma once
#include <deque>
#include <optional>
#include <string>

#include "context/run_state.h"
#include "stores/database.h"
#include "value/value.h"

namespace vqflow::records {

// Checkpoints of a run that may be resumed, one row each in the checkpoints
// table: row 0 holds the node settings the run was started with, row N the
// N-th app node call that finished. They go when the run closes.

// The row of checkpoint `seq` of run `only_id`. No I/O.
Row checkpoint_row(const std::string& only_id, long long seq, const NodeCheckpoint& checkpoint,
                   const std::string& now);
// The checkpoint a row holds; ValueError when the row is not one.
NodeCheckpoint checkpoint_of(const Row& row);

// Stores the run's next checkpoint (its sequence number is ++run.checkpoints)
// and resumes once it is committed. Throws StoreError.
awaitable<void> store_checkpoint(RunState& run, NodeCheckpoint checkpoint);
// Stores row 0: the node settings the run was started with (null: the
// playbook's own). Throws StoreError.
awaitable<void> store_start_settings(RunState& run, const Value& settings);

struct StoredCheckpoints {
  std::optional<Value> settings;  // absent: the playbook's own
  std::deque<NodeCheckpoint> calls;
};
// What the earlier walks of `only_id` left, in call order. Throws StoreError,
// or ValueError for a row that cannot be read.
StoredCheckpoints load_checkpoints(Database& db, const std::string& only_id);

// Removes the checkpoints of `only_id` from `seq` on.
void drop_checkpoints(Database& db, const std::string& only_id, long long seq = 0);

}  // namespace vqflow::records
