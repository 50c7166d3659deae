#pragma once
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "context/client_connection.h"
#include "context/services.h"
#include "value/value.h"

namespace vqflow {

// Arguments of a run request, by name; absent means not given.
struct RunRequest {
  std::optional<Value> controller_data;  // node settings: a JSON object text (or a map)
  std::optional<Value> data;             // input data for the node `app_uuid`
  std::optional<std::string> app_uuid;
  std::optional<Value> audit_status;
  std::optional<std::string> audit_app;
  std::optional<std::string> only_id;
  std::optional<Value> user;
  std::optional<std::string> start_app;
  // "fail" or "resume": what becomes of the run if its process dies; absent:
  // the playbook's choice.
  std::optional<std::string> on_interrupt;
  // The only_id a new run takes (its queue chose it); absent: a fresh one.
  // Ignored for a decision, which goes on under the waiting run's only_id.
  std::optional<std::string> run_id;
};

// What a run came to, as whoever started it is told.
struct RunOutcome {
  std::string only_id;
  // "done" (closed, no failed step), "failed" (closed with failed steps),
  // "aborted" (its guard stopped it; `reason` says why), "waiting" (at the
  // audit node `waiting_at`), or "refused" (it never started: the playbook is
  // missing or disabled, or the decision was refused).
  std::string state;
  long long failed_steps = 0;
  std::string waiting_at;
  std::string reason;
  std::exception_ptr error;  // what escaped the run, if anything (it is then "aborted")
};

// The run_closed message a run's client gets last:
// {"method": "run_closed", "data": {"only_id", "state", "failed_steps"}}, with
// "waiting_at" or "reason" where the state has them.
Value run_closed_message(const RunOutcome& outcome);

// Called on the loop when the run is closed, waits, or could not start.
using RunFinished = std::function<void(const RunOutcome&)>;

// Called once on the loop: with null once the run's state row is stored (a
// crash from then on leaves a row that the next process repairs), else with
// why it is not (PlaybookMissingError, PlaybookDisabledError, StoreError...).
using RunRecorded = std::function<void(std::exception_ptr)>;

// Prepares the node settings the request carries, creates one Auto and submits
// its run to the services' event loop; returns at once with the new engine's
// only_id (the run keeps the request's only_id when it resumes after an audit).
// Callable from any thread. Throws ConfigError, before any run is submitted,
// when controller_data is not a JSON object. A request that carries an audit
// decision is accepted here, before anything is submitted (accept_decision:
// DecisionError, PlaybookMissingError or PlaybookDisabledError when refused).
// The run's client gets the run_closed message last.
// Throws ConfigError for an on_interrupt other than "fail" or "resume".
std::string auto_execute(std::shared_ptr<Services> services, std::string uuid,
                         std::shared_ptr<ClientConnection> s = nullptr, RunRequest request = {},
                         RunFinished on_finished = nullptr, RunRecorded on_recorded = nullptr);

// Submits the walk of an interrupted run that the repair has claimed for
// resuming: under its only_id, as walk `attempt`, its finished nodes answered
// from their checkpoints. Returns at once; callable from any thread.
void walk_again(std::shared_ptr<Services> services, std::string uuid, std::string only_id,
                long long attempt, RunFinished on_finished = nullptr);

}  // namespace vqflow
