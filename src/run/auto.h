#pragma once
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "apps/reference_expansion.h"
#include "apps/result_capture.h"
#include "context/client_connection.h"
#include "context/run_state.h"
#include "context/services.h"
#include "value/value.h"

namespace vqflow {

// Optional arguments of Auto::run, by name. Absent means not given.
struct RunArguments {
  std::optional<Value>
      controller_data;                // node settings: a map (prepared by auto_execute) or a text
  std::optional<Value> audit_status;  // "1" approved, "2" rejected (numbers work too)
  std::optional<std::string> audit_app;  // present and non-empty: resume after an audit
  std::optional<std::string> only_id;    // the waiting run's identifier
  std::optional<Value> user;             // who decided
  std::optional<std::string> start_app;  // node to continue from
  // The decision was checked and its audit row marked (accept_decision); a
  // decision without it is accepted by run itself, or refused.
  bool decision_accepted = false;
  // "fail" or "resume" (checked); absent: the playbook's choice.
  std::optional<std::string> on_interrupt;
  // Set by the repair of an interrupted run: walk the run `only_id` again,
  // as this attempt, answering its finished nodes from their checkpoints.
  std::optional<long long> attempt;
};

// The run engine: the state of exactly one run. One engine per run, created by
// auto_execute and dropped when the run ends. Every method runs on the run's
// event loop; nothing inside one run runs in parallel.
class Auto : public RunState {
 public:
  Auto(std::shared_ptr<Services> services, std::shared_ptr<ClientConnection> socket);

  // --- value model (value/) ---
  static bool is_json(const Value& json_text) { return vqflow::is_json(json_text); }

  // --- app invocation (apps/app_invocation.h) ---
  bool is_identification(const std::string& app_dir);
  std::pair<int, Value> is_public(const std::string& app_dir);

  // --- variable tables (apps/variables.h) ---
  void make_var(const Value& local_var, const Value& controller_var);
  // The same, the global variables read through the loop's store.
  awaitable<void> make_var_on_loop(const Value& local_var, const Value& controller_var);

  // --- reference expansion (apps/reference_expansion.h) ---
  Expansion analysis_var(const std::string& text);

  // --- records (records/run_records.h) ---
  awaitable<void> add_execute_logs(const Value& uuid, const Value& app_uuid, const Value& app_name,
                                   const Value& result, const Value& status, const Value& html,
                                   const Value& args = "");
  awaitable<void> add_report();
  awaitable<void> add_audit(const Value& workflow_uuid, const Value& only_id, const Value& user_id,
                            const Value& audit_app, const Value& start_app);

  // --- app invocation and result capture (apps/) ---
  // Invocation result {"status", "result", "args", "html"}.
  awaitable<Value> execute(std::string app_uuid, std::optional<std::string> app_dir,
                           std::optional<Value> datas);
  awaitable<NodeResult> get_app_data(std::string uuid, std::string app_uuid,
                                     std::optional<Value> app_info, bool for_play);

  // --- node walker, FOR controller, edge conditions (walker/) ---
  awaitable<int> for_play_book(std::vector<std::string> paths, std::string uuid,
                               bool for_play = false);
  awaitable<void> for_controller(std::string left, std::string right, std::string uuid);
  // true, false, or absent (no comparison kind matched).
  awaitable<std::optional<bool>> is_condition(std::string left, std::string uuid,
                                              std::string if_else_result);

  // --- flow document tables (flow/node_tables.h) ---
  static Value make_node_link(const Value& edges);
  static Value make_node_list(const Value& edges, const std::optional<std::string>& end_app = {});
  static Value make_node_name(const Value& edges);

  // The state end_run stores: waiting, done, failed, aborted, interrupted, cancelled.
  std::string closing_state;

  // Called once, on the loop, when the run's state row is stored (null), or
  // with the failure or refusal when it will not be: what a 202 waits for.
  std::function<void(std::exception_ptr)> on_recorded;
  void tell_recorded(std::exception_ptr failure);

  // --- completion (run/run_completion.cc) ---
  awaitable<void> end_run(int run_status, std::string uuid);
  // exec_sum and the playbook's own count, raised once the run is stored and
  // lowered once (decr_sum does nothing for a run that raised none).
  awaitable<void> raise_sums(std::string uuid);
  awaitable<void> decr_sum(std::string uuid);
  bool counted = false;
  // Removes the checkpoints of a closed or waiting run that kept them.
  void drop_checkpoints();

  // --- driver (run/auto.cc) ---
  // Absent normally; false when the playbook is disabled (status 1).
  awaitable<std::optional<bool>> run(std::string uuid, RunArguments args);
};

}  // namespace vqflow
