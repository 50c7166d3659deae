#pragma once
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "platform/services.h"
#include "run/client_connection.h"
#include "value/value.h"

namespace vqflow {

template <typename T>
using awaitable = boost::asio::awaitable<T>;

// Optional arguments of Auto::run, by name. Absent means not given.
struct RunArguments {
  std::optional<Value> controller_data;  // node settings: a map (prepared by auto_execute) or a text
  std::optional<Value> audit_status;     // "1" approved, "2" rejected (numbers work too)
  std::optional<std::string> audit_app;  // present and non-empty: resume after an audit
  std::optional<std::string> only_id;    // the waiting run's identifier
  std::optional<Value> user;             // who decided
  std::optional<std::string> start_app;  // node to continue from
};

// Outcome of reference expansion: status 0 and the expanded text, or status 1
// and the message that says why the expansion failed.
struct Expansion {
  int status = 0;
  std::string text;
};

// Node result pair: status (2 marks a failed node) and result text.
struct NodeResult {
  Value status;
  std::string result;
};

// The run engine: the state of exactly one run. One engine per run, created by
// auto_execute and dropped when the run ends. Every method runs on the run's
// event loop; nothing inside one run runs in parallel.
class Auto {
 public:
  Auto(std::shared_ptr<Services> services, std::shared_ptr<ClientConnection> socket);
  ~Auto();  // sends the run's staged key-value writes that are left
  Auto(const Auto&) = delete;
  Auto& operator=(const Auto&) = delete;

  // --- value model (value/) ---
  static bool is_json(const Value& json_text) { return vqflow::is_json(json_text); }

  // --- app invocation (apps/app_invocation.cc) ---
  bool is_identification(const std::string& app_dir);
  std::pair<int, Value> is_public(const std::string& app_dir);

  // --- variable tables (apps/variables.cc) ---
  void make_var(const Value& local_var, const Value& controller_var);

  // --- reference expansion (apps/reference_expansion.cc) ---
  Expansion analysis_var(const std::string& text);

  // --- records (records/) ---
  // Each builds its record at once and answers an awaitable that resumes once
  // the record is committed (records of concurrent runs share transactions); a
  // record that cannot be stored throws StoreError. Not coroutines themselves:
  // arguments are read before the call returns, so temporaries are fine.
  awaitable<void> add_execute_logs(const Value& uuid, const Value& app_uuid,
                                   const Value& app_name, const Value& result,
                                   const Value& status, const Value& html,
                                   const Value& args = "");
  awaitable<void> add_report();
  awaitable<void> add_audit(const Value& workflow_uuid, const Value& only_id,
                            const Value& user_id, const Value& audit_app,
                            const Value& start_app);

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

  // --- flow document tables (flow/node_tables.cc) ---
  static Value make_node_link(const Value& edges);
  static Value make_node_list(const Value& edges, const std::optional<std::string>& end_app = {});
  static Value make_node_name(const Value& edges);

  // --- completion (run/run_completion.cc) ---
  awaitable<void> end_run(int run_status, std::string uuid);
  void decr_sum(const std::string& uuid);
  // Sends the staged writes; a failure is logged, not thrown (the run is over).
  void send_staged_kv();

  // --- driver (run/auto.cc) ---
  // Absent normally; false when the playbook is disabled (status 1).
  awaitable<std::optional<bool>> run(std::string uuid, RunArguments args);

  // Fields of the run (see the run driver for who sets what).
  std::string only_id;
  Value workflow_name;     // null until the playbook is read
  Value workflow_remarks;  // null until the playbook is read
  std::shared_ptr<ClientConnection> socket;
  // Parsed playbook documents, shared with other runs of the same playbook
  // and never changed (null until the playbook is read).
  std::shared_ptr<const Value> flow_json;
  std::shared_ptr<const Value> flow_data;
  Value local_var_data;   // stored text; after make_var possibly the local table (a map)
  Value global_var_data;  // null, or the global table (a map of texts)
  std::optional<std::string> start_app;
  std::optional<std::string> end_app;
  std::optional<std::string> input_app;
  std::optional<std::string> webhook_app;
  std::optional<std::string> timer_app;
  std::vector<std::string> for_list;
  std::vector<std::string> if_list;
  std::vector<std::string> audit_list;
  std::shared_ptr<const Value> node_link_data;  // [[source, target], ...], shared like flow_json
  Value controller_data;  // node settings as a JSON object text (null when stored absent)

  const std::shared_ptr<Services>& services() const { return services_; }

  // Run-scoped key-value writes (lifetime lose_time) are staged in the run and
  // sent together when it ends, before it waits for an audit decision, or when
  // the stage is full: one round trip (one transaction) for many writes. A later
  // write of a staged key replaces it in the stage.
  void stage_kv(std::string key, std::string value);
  // A run-scoped value as this run last wrote it: from the stage, else from the
  // store. Reads do not send the stage: run-scoped keys carry the run's own id,
  // and no one else writes them while it runs.
  std::optional<std::string> read_kv(const std::string& key);
  bool kv_has(const std::string& key);
  // The key-value store, after every staged write has been sent.
  KvStore& kv();

  // Key of a run-scoped value: node id + "&&" + only_id + "&&" + field.
  std::string run_key(const std::string& node_id, const std::string& field) const {
    return node_id + "&&" + only_id + "&&" + field;
  }
  // Key of the last app result: only_id + "if_else_result".
  std::string last_result_key() const { return only_id + "if_else_result"; }

 private:
  // Inserts through the services' group commit when there is one.
  awaitable<void> store_record(std::string table, Value row);
  // Stores a log record, then writes its process-log line and live message.
  awaitable<void> publish_log(Value record);

  std::shared_ptr<Services> services_;
  std::vector<KvWrite> staged_;
  std::size_t staged_bytes_ = 0;
  // The id the run was made with, and whether it has sent any key-value write.
  // While it keeps that id (a resumed run takes the waiting run's) and has sent
  // nothing, the store holds none of its run-scoped keys: its reads need no
  // round trip.
  std::string new_id_;
  bool sent_kv_ = false;
  bool nothing_stored() const { return !sent_kv_ && only_id == new_id_; }
};

}  // namespace vqflow
