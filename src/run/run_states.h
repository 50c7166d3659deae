#pragma once
#include <optional>
#include <string>

#include "base/errors.h"
#include "context/run_state.h"
#include "stores/database.h"
#include "value/value.h"

namespace vqflow {

// The runs table keeps one row per run as it changes: running (with its
// owner), waiting (at an audit node, no owner), and then one of done, failed,
// aborted, interrupted or cancelled. Any process can read it.

// No run with that only_id is known (HTTP 404).
class RunNotFoundError : public Error {
 public:
  using Error::Error;
};

// The run is known but not running, so it cannot be cancelled (HTTP 409).
class RunNotRunningError : public Error {
 public:
  using Error::Error;
};

// A stored column as text: "" for an absent value.
std::string stored_text(const Value& value);

// Run state rows, built from what the run knows. No I/O.
Row running_row(const RunState& run, const std::string& uuid, const std::string& start_app,
                const std::string& user, const std::string& now);
Row waiting_row(const RunState& run, const std::string& node, const std::string& now);
// `state` is one of done, failed, aborted, interrupted, cancelled.
Row closed_row(const std::string& only_id, const std::string& state, long long failed_steps,
               const std::string& reason, const std::string& now);

// Stores a state row through the services' group commit (an insert of a
// known only_id updates its row). Throws StoreError when it cannot be stored.
awaitable<void> store_run_state(RunState& run, Row row);

// What is known of one run: the runs row with the playbook's name and the
// run's log records ("nodes"); absent when nothing is known of it.
std::optional<Value> run_state(Database& db, const std::string& only_id);

struct RunFilter {
  std::string uuid;   // empty: every playbook
  std::string state;  // empty: every state
  long long limit = 50;
};
// The runs that match, newest first: only_id, uuid, playbook, state, started,
// ended, failed_steps.
Value list_runs(Database& db, const RunFilter& filter);

// Asks the owner of a running run to cancel it (the owner sees it within
// about a second). Throws RunNotFoundError or RunNotRunningError.
void request_cancel(Database& db, const std::string& only_id, const std::string& user,
                    const std::string& now);

}  // namespace vqflow
