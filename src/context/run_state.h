#pragma once
#include <boost/asio/awaitable.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context/client_connection.h"
#include "context/services.h"
#include "plugins/call_control.h"
#include "value/value.h"

namespace vqflow {

template <typename T>
using awaitable = boost::asio::awaitable<T>;

// Key of a run-scoped value: node id + "&&" + only_id + "&&" + field.
inline std::string run_scoped_key(const std::string& node_id, const std::string& only_id,
                                  const std::string& field) {
  return node_id + "&&" + only_id + "&&" + field;
}

// What a finished app node left, kept for an interrupted run that is walked
// again: its answer and the run-scoped writes it made (its arguments, result
// and status), in order.
struct NodeCheckpoint {
  std::string node;
  Value status;
  std::string result;
  std::vector<KvWrite> writes;
};

// The state of exactly one run: the fields the run engine copies from its
// playbook, the run's client, and its run-scoped key-value writes. The layers
// that walk, invoke and record a run work on it; the engine (run/auto.h) owns
// it. Used on the run's event loop only; nothing inside one run runs in parallel.
class RunState {
 public:
  RunState(std::shared_ptr<Services> services, std::shared_ptr<ClientConnection> socket);
  ~RunState();  // sends the run's staged key-value writes that are left
  RunState(const RunState&) = delete;
  RunState& operator=(const RunState&) = delete;

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

  // What the run came to so far, for whoever started it.
  bool started = false;                   // got past the playbook lookup
  long long failed_steps = 0;             // records written with status 1 or 2
  std::optional<std::string> waiting_at;  // the audit node the run stopped at
  std::optional<std::string> aborted;     // why the run's guard stopped it
  // Raised to stop the run (a cancel, or this process going down): the app in
  // flight is stopped and no further step starts. Its reason says which.
  std::shared_ptr<StopSignal> stop = std::make_shared<StopSignal>();
  // How many times this run has been walked (a resumed run walks again).
  long long attempt = 1;
  // Throws RunStoppedError with the stop's reason once the run is stopped.
  void check_stop() const;
  // Asked for by the playbook or the request: when its process dies, the run
  // is walked again, so each finished app node stores a checkpoint first.
  bool resumable = false;
  // App node calls checkpointed so far: the sequence number of the last one.
  long long checkpoints = 0;
  // On a walk after an interruption: the checkpoints not yet answered, in
  // the order the earlier walk made them.
  std::deque<NodeCheckpoint> replay;
  // Takes the only_id of an interrupted run that is walked again. Its
  // run-scoped values come back from its checkpoints, so what the store kept
  // of the earlier walk is not read while nothing has been sent.
  void resume_as(std::string id) {
    only_id = id;
    new_id_ = std::move(id);
  }
  // Takes the only_id chosen for a new run before it was handed here (the
  // run queue answers it before a worker starts the run).
  void name_as(std::string id) { resume_as(std::move(id)); }

  const std::shared_ptr<Services>& services() const { return services_; }

  // Run-scoped key-value writes (lifetime lose_time) are staged in the run and
  // sent together when it ends, before it waits for an audit decision, or when
  // the stage is full: one round trip (one transaction) for many writes. A later
  // write of a staged key replaces it in the stage. A full stage is sent at
  // once; a failure of that send throws StoreError.
  void stage_kv(std::string key, std::string value);
  // A run-scoped value as this run last wrote it: from the stage, else from the
  // store. Reads do not send the stage: run-scoped keys carry the run's own id,
  // and no one else writes them while it runs.
  std::optional<std::string> read_kv(const std::string& key);
  bool kv_has(const std::string& key);
  // The key-value store, after every staged write has been sent.
  KvStore& kv();
  // Sends the staged writes; a failure is logged, not thrown (the run is over).
  void send_staged_kv();
  // The same through the loop's key-value store.
  awaitable<void> send_staged_kv_on_loop();
  // While a journal is kept, stage_kv also copies each write into it; taking
  // it ends it.
  void keep_kv_journal() { journal_.emplace(); }
  std::vector<KvWrite> take_kv_journal();

  // Key of a run-scoped value of this run (run_scoped_key).
  std::string run_key(const std::string& node_id, const std::string& field) const {
    return run_scoped_key(node_id, only_id, field);
  }
  // Key of the last app result: only_id + "if_else_result".
  std::string last_result_key() const { return only_id + "if_else_result"; }

 private:
  std::shared_ptr<Services> services_;
  std::vector<KvWrite> staged_;
  std::optional<std::vector<KvWrite>> journal_;
  std::size_t staged_bytes_ = 0;
  // The id the run was made with, and whether it has sent any key-value write.
  // While it keeps that id (a resumed run takes the waiting run's) and has sent
  // nothing, the store holds none of its run-scoped keys: its reads need no
  // round trip.
  std::string new_id_;
  bool sent_kv_ = false;
  bool nothing_stored() const { return !sent_kv_ && only_id == new_id_; }
  // The staged writes, the stage emptied for sending them.
  std::vector<KvWrite> take_staged();
};

}  // namespace vqflow
