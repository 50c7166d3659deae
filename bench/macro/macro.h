#pragma once
// Shared pieces of vqflow-bench: the result table, options, clocks, scratch
// folders, a loop thread and the playbooks every section runs.
#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "context/services.h"
#include "stores/database.h"
#include "value/value.h"

namespace vqflow::bench {

struct Options {
  bool quick = false;
  std::optional<std::string> redis_url;
  std::optional<std::string> pg_url;
  std::optional<std::string> json_path;
  // The peer flow engine set up by scripts/bench.sh (http://127.0.0.1:PORT);
  // absent, no ratio to it is printed and `peer_missing` says why.
  std::optional<std::string> peer_url;
  std::optional<std::string> peer_missing;
  std::vector<int> sections;      // empty: all
  std::filesystem::path scratch;  // this process's temp folder
  std::filesystem::path self;     // this executable
  bool wants(int section) const;
};

// How a row is judged. Ratio bounds compare value / reference.
enum class Bound { none, ratio_at_least, ratio_at_most, value_at_least, value_at_most };

struct Figure {
  std::string section;
  std::string figure;
  double value = 0;
  std::string unit;
  std::optional<double> reference;
  std::string reference_label;  // what the reference is
  Bound bound = Bound::none;
  double limit = 0;
  std::optional<std::string> failure;  // the figure could not be measured

  std::optional<double> ratio() const;
  std::string target_text() const;
  // "PASS", "MISS", "info" or "FAIL" (not measured).
  std::string verdict() const;
};

// A figure printed for information.
Figure info(std::string section, std::string figure, double value, std::string unit);
// A figure judged against `limit` (see Bound).
Figure judged(std::string section, std::string figure, double value, std::string unit,
              std::optional<double> reference, std::string reference_label, Bound bound,
              double limit);

// The rows and notes of one run; sections add to it from the main thread.
class Report {
 public:
  void add(Figure row);
  void note(const std::string& section, const std::string& text);
  void print() const;
  void write_json(const std::string& path, const Options& options) const;
  int misses() const;

 private:
  std::vector<Figure> rows_;
  std::vector<std::pair<std::string, std::string>> notes_;
};

double now_seconds();  // steady clock
double thread_cpu_seconds();
// CPU time of the thread running `ioc`, read on that thread (waits for it).
double loop_thread_cpu_seconds(boost::asio::io_context& ioc);
double process_cpu_seconds();

// Percentile p (0..1) of unsorted samples; 0 for none.
double percentile(std::vector<double> samples, double p);

// A folder under the scratch folder, removed with this object.
class ScratchDir {
 public:
  ScratchDir(const Options& options, const std::string& name);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// An io_context run by its own thread until this object goes.
class LoopThread {
 public:
  LoopThread();
  ~LoopThread();
  boost::asio::io_context& ioc() { return ioc_; }

 private:
  boost::asio::io_context ioc_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
  std::thread thread_;
};

// The peer flow engine (bench/peer/flow.json): an internal burst of `runs`
// messages through its 10-node chain, timed inside the peer; and POST /chain
// from `connections` kept-alive connections for `seconds`. Throw on failure.
struct PeerHttp {
  double requests_per_s = 0;
  double p99_ms = 0;
};
double peer_burst_runs_per_s(const std::string& url, long runs);
PeerHttp peer_http(const std::string& url, double seconds, int connections);
// Why no peer figure is there, for the report.
std::string peer_missing(const Options& options);

// start, eight built-in no-op app nodes, end.
Row ten_node_playbook(const std::string& uuid);

// Services on the stores named (kv_url "" = the embedded table), the tables
// created and `playbook` stored.
std::shared_ptr<Services> open_bench_services(const std::string& db_url, const std::string& kv_url,
                                              const std::string& apps_path,
                                              boost::asio::any_io_executor executor,
                                              const Row& playbook);

// start, one vq_text node "n0", then `nodes` vq_text upper nodes whose text
// holds ten references (globals host/port, locals user/token, n0's values), end.
Row reference_playbook(const std::string& uuid, int nodes);
// Global variables that reference_playbook uses, as variablen rows.
std::vector<Row> reference_globals();

// Outcome of a batch of runs through auto_execute.
struct RunBatch {
  long runs = 0;
  long failed = 0;     // an error escaped the run
  double seconds = 0;  // from the first submit until every run finished
  bool timed_out = false;
  double runs_per_second() const { return seconds > 0 ? static_cast<double>(runs) / seconds : 0; }
};

// Submits `count` runs of playbook `uuid` keeping at most `in_flight` of them
// unfinished (1: one at a time); with `submit_seconds` > 0 stops submitting
// after that long. Counts until every submitted run finished; gives up after
// `timeout_seconds`.
RunBatch run_batch(const std::shared_ptr<Services>& services, const std::string& uuid, long count,
                   int in_flight, double timeout_seconds, double submit_seconds = 0);

// Runs submitted for `seconds`, counted until the last of them finished.
RunBatch timed_run_batch(const std::shared_ptr<Services>& services, const std::string& uuid,
                         int in_flight, double seconds);

// `text` with every `from` replaced by `to` (a recorded run id by a new one).
std::string replaced(std::string text, const std::string& from, const std::string& to);

// Database/KV pass-through wrappers that count every operation, and note the
// key-value steps in order so that a floor can repeat exactly those.
struct StoreCounts {
  std::atomic<long> kv_writes{0};  // set, set_if_absent, incr, decr, del
  std::atomic<long> kv_reads{0};   // get, exists
  std::atomic<long> db_selects{0};
  std::atomic<long> db_logs{0};
  std::atomic<long> db_reports{0};
  std::atomic<long> db_other_writes{0};

  struct KvStep {
    enum Kind { read, write, count, remove } kind = read;
    std::string key;
    std::string value;  // writes
    std::optional<long long> expire_seconds;
    bool up = true;  // counts: INCR, else DECR
  };
  // One round trip of the run, in the order the run made them: key-value
  // commands sent together, a select, or the records of one transaction.
  struct TraceStep {
    enum Kind { kv, select, records } kind = kv;
    std::vector<KvStep> commands;
    std::string table;
    std::vector<std::string> columns;  // of a select; empty: all
    std::vector<Condition> conditions;
    std::optional<long long> limit;
    std::vector<TableRow> rows;
  };
  std::mutex mutex;
  std::vector<KvStep> kv_steps;
  std::vector<TraceStep> trace;
  void note(KvStep step) {
    std::lock_guard lock(mutex);
    kv_steps.push_back(step);
    trace.push_back(TraceStep{TraceStep::kv, {std::move(step)}, {}, {}, {}, {}, {}});
  }
  // Several commands of one round trip.
  void note_together(std::vector<KvStep> steps) {
    std::lock_guard lock(mutex);
    kv_steps.insert(kv_steps.end(), steps.begin(), steps.end());
    trace.push_back(TraceStep{TraceStep::kv, std::move(steps), {}, {}, {}, {}, {}});
  }
  void note_trace(TraceStep step) {
    std::lock_guard lock(mutex);
    trace.push_back(std::move(step));
  }
};
std::shared_ptr<KvStore> counting_kv(std::shared_ptr<KvStore> inner,
                                     std::shared_ptr<StoreCounts> counts);
std::shared_ptr<Database> counting_db(std::shared_ptr<Database> inner,
                                      std::shared_ptr<StoreCounts> counts);

// The best runs/s of a plain hiredis + libpq client repeating `trace` (the
// round trips of the run recorded under `recorded_id`) against the servers,
// its tables in `schema`, and the number of client threads that made it.
struct FloorFigure {
  double runs_per_second = 0;
  int clients = 0;
  int committers = 0;
};
FloorFigure server_floor(const std::string& redis_url, const std::string& pg_url,
                         const std::string& schema,
                         const std::vector<StoreCounts::TraceStep>& trace,
                         const std::string& recorded_id, double seconds);

// Sections, in table order.
void engine_section(Report& report, const Options& options);
void embedded_section(Report& report, const Options& options);
void server_stores_section(Report& report, const Options& options);
void plugin_section(Report& report, const Options& options);
void paths_section(Report& report, const Options& options);
void scheduler_section(Report& report, const Options& options);
void http_section(Report& report, const Options& options);
// Queue mode: an API server and worker processes (queue.cc).
void queue_section(Report& report, const Options& options);

}  // namespace vqflow::bench
