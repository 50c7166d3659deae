#include <fmt/format.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <limits>

#include "macro.h"
#include "run/auto_execute.h"
#include "stores/kv_store.h"

namespace vqflow::bench {

bool Options::wants(int section) const {
  return sections.empty() || std::find(sections.begin(), sections.end(), section) != sections.end();
}

// ---- rows ---------------------------------------------------------------------

std::optional<double> Figure::ratio() const {
  if (!reference || *reference == 0 || failure) return std::nullopt;
  return value / *reference;
}

std::string Figure::target_text() const {
  switch (bound) {
    case Bound::none:
      return "-";
    case Bound::ratio_at_least:
      return fmt::format(">= {:g} x", limit);
    case Bound::ratio_at_most:
      return fmt::format("<= {:g} x", limit);
    case Bound::value_at_least:
      return fmt::format(">= {:g} {}", limit, unit);
    case Bound::value_at_most:
      return fmt::format("<= {:g} {}", limit, unit);
  }
  return "-";
}

std::string Figure::verdict() const {
  if (failure) return "FAIL";
  switch (bound) {
    case Bound::none:
      return "info";
    case Bound::ratio_at_least:
      return ratio() && *ratio() >= limit ? "PASS" : "MISS";
    case Bound::ratio_at_most:
      return ratio() && *ratio() <= limit ? "PASS" : "MISS";
    case Bound::value_at_least:
      return value >= limit ? "PASS" : "MISS";
    case Bound::value_at_most:
      return value <= limit ? "PASS" : "MISS";
  }
  return "info";
}

Figure info(std::string section, std::string figure, double value, std::string unit) {
  Figure f;
  f.section = std::move(section);
  f.figure = std::move(figure);
  f.value = value;
  f.unit = std::move(unit);
  return f;
}

Figure judged(std::string section, std::string figure, double value, std::string unit,
              std::optional<double> reference, std::string reference_label, Bound bound,
              double limit) {
  Figure f = info(std::move(section), std::move(figure), value, std::move(unit));
  f.reference = reference;
  f.reference_label = std::move(reference_label);
  f.bound = bound;
  f.limit = limit;
  return f;
}

void Report::add(Figure row) { rows_.push_back(std::move(row)); }

void Report::note(const std::string& section, const std::string& text) {
  notes_.emplace_back(section, text);
}

namespace {

std::string number(double v) {
  if (!std::isfinite(v)) return "-";
  const double a = std::fabs(v);
  if (a >= 1000) return fmt::format("{:.0f}", v);
  if (a >= 100) return fmt::format("{:.1f}", v);
  if (a >= 1) return fmt::format("{:.2f}", v);
  return fmt::format("{:.3f}", v);
}

}  // namespace

void Report::print() const {
  std::string section;
  std::printf("\n%-48s %12s %-8s %12s  %-34s %7s  %-11s %s\n", "figure", "value", "unit",
              "reference", "reference is", "ratio", "target", "result");
  std::printf("%s\n", std::string(150, '-').c_str());
  for (const Figure& row : rows_) {
    if (row.section != section) {
      section = row.section;
      std::printf("[%s]\n", section.c_str());
    }
    const std::string value = row.failure ? "-" : number(row.value);
    const std::string reference = row.reference ? number(*row.reference) : "-";
    const std::string ratio = row.ratio() ? fmt::format("{:.2f}", *row.ratio()) : "-";
    std::printf("  %-46s %12s %-8s %12s  %-34s %7s  %-11s %s\n", row.figure.c_str(), value.c_str(),
                row.unit.c_str(), reference.c_str(), row.reference_label.c_str(), ratio.c_str(),
                row.target_text().c_str(), row.verdict().c_str());
    if (row.failure) std::printf("      failed: %s\n", row.failure->c_str());
  }
  if (!notes_.empty()) {
    std::printf("\nnotes:\n");
    for (const auto& [where, text] : notes_)
      std::printf("  [%s] %s\n", where.c_str(), text.c_str());
  }
  std::fflush(stdout);
}

void Report::write_json(const std::string& path, const Options& options) const {
  Value rows = Value::array();
  for (const Figure& row : rows_) {
    Value r = Value::object();
    r["section"] = row.section;
    r["figure"] = row.figure;
    r["value"] = row.failure ? Value() : Value(row.value);
    r["unit"] = row.unit;
    r["reference"] = row.reference ? Value(*row.reference) : Value();
    r["reference_is"] = row.reference_label;
    r["ratio"] = row.ratio() ? Value(*row.ratio()) : Value();
    r["target"] = row.target_text();
    r["result"] = row.verdict();
    if (row.failure) r["failure"] = *row.failure;
    rows.push_back(std::move(r));
  }
  Value notes = Value::array();
  for (const auto& [where, text] : notes_) notes.push_back({{"section", where}, {"note", text}});
  Value out = {{"quick", options.quick}, {"rows", rows}, {"notes", notes}};
  std::ofstream file(path);
  file << out.dump(2) << "\n";
  if (!file) std::fprintf(stderr, "vqflow-bench: cannot write %s\n", path.c_str());
}

int Report::misses() const {
  int n = 0;
  for (const Figure& row : rows_) {
    const std::string v = row.verdict();
    if (v == "MISS" || v == "FAIL") ++n;
  }
  return n;
}

// ---- clocks and helpers ------------------------------------------------------

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {
double clock_seconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}
}  // namespace

double thread_cpu_seconds() { return clock_seconds(CLOCK_THREAD_CPUTIME_ID); }

double loop_thread_cpu_seconds(boost::asio::io_context& ioc) {
  std::promise<double> answer;
  std::future<double> cpu = answer.get_future();
  boost::asio::post(ioc, [&answer] { answer.set_value(thread_cpu_seconds()); });
  return cpu.get();
}
double process_cpu_seconds() { return clock_seconds(CLOCK_PROCESS_CPUTIME_ID); }

double percentile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const auto at = static_cast<std::size_t>(p * static_cast<double>(samples.size()));
  return samples[std::min(samples.size() - 1, at)];
}

ScratchDir::ScratchDir(const Options& options, const std::string& name)
    : path_(options.scratch / name) {
  std::filesystem::remove_all(path_);
  std::filesystem::create_directories(path_);
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

LoopThread::LoopThread() : guard_(ioc_.get_executor()), thread_([this] { ioc_.run(); }) {}

LoopThread::~LoopThread() {
  guard_.reset();
  ioc_.stop();
  thread_.join();
}

// ---- playbooks ---------------------------------------------------------------

namespace {

Row chain_playbook(const std::string& uuid, const std::vector<std::string>& app_nodes,
                   const Value& flow_data, const std::string& local_vars) {
  Value cells = Value::array();
  std::vector<std::string> ids = {"S"};
  ids.insert(ids.end(), app_nodes.begin(), app_nodes.end());
  ids.push_back("E");
  for (const auto& id : ids) {
    cells.push_back({{"shape", "html"}, {"id", id}, {"data", {{"name", id}}}});
  }
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
    cells.push_back(
        {{"shape", "vqEdge"}, {"source", {{"cell", ids[i]}}}, {"target", {{"cell", ids[i + 1]}}}});
  }
  return {{"uuid", uuid},
          {"name", "bench"},
          {"remarks", ""},
          {"start_app", "S"},
          {"end_app", "E"},
          {"for_list", ""},
          {"if_list", ""},
          {"audit_list", ""},
          {"flow_json", json_text(Value{{"cells", cells}})},
          {"flow_data", json_text(flow_data)},
          {"controller_data", "{}"},
          {"local_var_data", local_vars},
          {"status", 0}};
}

}  // namespace

Row ten_node_playbook(const std::string& uuid) {
  std::vector<std::string> ids;
  Value flow_data = Value::object();
  for (int i = 1; i <= 8; ++i) {
    const std::string id = "n" + std::to_string(i);
    ids.push_back(id);
    flow_data[id] = {{"app_dir", "vq_noop"}, {"data", {{"node_name", id}, {"action", "run"}}}};
  }
  return chain_playbook(uuid, ids, flow_data, "[]");
}

std::shared_ptr<Services> open_bench_services(const std::string& db_url, const std::string& kv_url,
                                              const std::string& apps_path,
                                              boost::asio::any_io_executor executor,
                                              const Row& playbook) {
  Config config;
  config.db_url = db_url;
  config.kv_url = kv_url;
  config.apps_path = apps_path;
  auto services = open_services(config, std::move(executor));
  services->db->init_schema();
  services->db->table("workflow").insert(playbook);
  return services;
}

Row reference_playbook(const std::string& uuid, int nodes) {
  std::vector<std::string> ids = {"n0"};
  Value flow_data = Value::object();
  flow_data["n0"] = {{"app_dir", "vq_text"},
                     {"data", {{"node_name", "n0"}, {"action", "lower"}, {"text", "Alpha"}}}};
  // Ten references: globals (3), locals (3) and values n0 left (4).
  const std::string text =
      "https://@{host}:@{port}/api?u=@[user]&t=@[token] @(n0.result) @(n0.status) "
      "@(n0.text) @{host} @[user] @(n0.result)";
  for (int i = 1; i <= nodes; ++i) {
    const std::string id = "t" + std::to_string(i);
    ids.push_back(id);
    flow_data[id] = {{"app_dir", "vq_text"},
                     {"data", {{"node_name", id}, {"action", "upper"}, {"text", text}}}};
  }
  const std::string locals =
      json_text(Value::array({Value{{"key", "user"}, {"value", "admin"}},
                              Value{{"key", "token"}, {"value", std::string(32, 't')}}}));
  return chain_playbook(uuid, ids, flow_data, locals);
}

std::vector<Row> reference_globals() {
  return {Row{{"key", "host"}, {"value", "10.0.0.1"}, {"status", 0}},
          Row{{"key", "port"}, {"value", "8443"}, {"status", 0}}};
}

// ---- runs ---------------------------------------------------------------------

namespace {

struct BatchState {
  std::mutex mutex;
  std::condition_variable changed;
  long finished = 0;
  long failed = 0;
};

}  // namespace

RunBatch run_batch(const std::shared_ptr<Services>& services, const std::string& uuid, long count,
                   int in_flight, double timeout_seconds, double submit_seconds) {
  auto state = std::make_shared<BatchState>();
  RunBatch out;
  const double start = now_seconds();
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(timeout_seconds));
  long submitted = 0;
  std::unique_lock lock(state->mutex);
  while (true) {
    if (submitted < count && submit_seconds > 0 && now_seconds() - start >= submit_seconds) {
      count = submitted;  // time is up: wait for the runs in flight only
    }
    if (state->finished == count) break;
    if (submitted < count && submitted - state->finished < in_flight) {
      lock.unlock();
      ++submitted;
      auto_execute(services, uuid, nullptr, RunRequest{}, [state](const RunOutcome& outcome) {
        std::lock_guard guard(state->mutex);
        ++state->finished;
        if (outcome.error) ++state->failed;
        state->changed.notify_all();
      });
      lock.lock();
      continue;
    }
    if (state->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      out.timed_out = true;
      break;
    }
  }
  out.seconds = now_seconds() - start;
  out.runs = state->finished;
  out.failed = state->failed;
  return out;
}

RunBatch timed_run_batch(const std::shared_ptr<Services>& services, const std::string& uuid,
                         int in_flight, double seconds) {
  return run_batch(services, uuid, std::numeric_limits<long>::max(), in_flight,
                   std::max(60.0, seconds * 10), seconds);
}

// ---- counting wrappers -------------------------------------------------------

namespace {

class CountingKv : public KvStore {
 public:
  CountingKv(std::shared_ptr<KvStore> inner, std::shared_ptr<StoreCounts> counts)
      : inner_(std::move(inner)), counts_(std::move(counts)) {}
  std::optional<std::string> get(const std::string& key) override {
    ++counts_->kv_reads;
    counts_->note({StoreCounts::KvStep::read, key, {}, {}});
    return inner_->get(key);
  }
  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    ++counts_->kv_writes;
    counts_->note({StoreCounts::KvStep::write, key, value, expire_seconds});
    inner_->set(key, value, expire_seconds);
  }
  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    ++counts_->kv_writes;
    counts_->note({StoreCounts::KvStep::write, key, value, expire_seconds});
    return inner_->set_if_absent(key, value, expire_seconds);
  }
  void set_many(const std::vector<KvWrite>& writes) override {
    std::vector<StoreCounts::KvStep> steps;
    for (const KvWrite& w : writes) {
      ++counts_->kv_writes;
      steps.push_back({StoreCounts::KvStep::write, w.key, w.value, w.expire_seconds});
    }
    counts_->note_together(std::move(steps));
    inner_->set_many(writes);
  }
  std::vector<long long> count_many(const std::vector<KvCount>& counts) override {
    std::vector<StoreCounts::KvStep> steps;
    for (const KvCount& c : counts) {
      ++counts_->kv_writes;
      steps.push_back({StoreCounts::KvStep::count, c.key, {}, {}, c.up});
    }
    counts_->note_together(std::move(steps));
    return inner_->count_many(counts);
  }
  long long incr(const std::string& key) override {
    ++counts_->kv_writes;
    counts_->note({StoreCounts::KvStep::count, key, {}, {}});
    return inner_->incr(key);
  }
  long long decr(const std::string& key) override {
    ++counts_->kv_writes;
    counts_->note({StoreCounts::KvStep::count, key, {}, {}, false});
    return inner_->decr(key);
  }
  bool exists(const std::string& key) override {
    ++counts_->kv_reads;
    counts_->note({StoreCounts::KvStep::read, key, {}, {}});
    return inner_->exists(key);
  }
  bool del(const std::string& key) override {
    ++counts_->kv_writes;
    counts_->note({StoreCounts::KvStep::remove, key, {}, {}});
    return inner_->del(key);
  }
  std::string describe() const override { return inner_->describe(); }

 private:
  std::shared_ptr<KvStore> inner_;
  std::shared_ptr<StoreCounts> counts_;
};

class CountingDb : public Database {
 public:
  CountingDb(std::shared_ptr<Database> inner, std::shared_ptr<StoreCounts> counts)
      : inner_(std::move(inner)), counts_(std::move(counts)) {}
  std::vector<Row> select(const Query& query, std::optional<long long> limit) override {
    ++counts_->db_selects;
    counts_->note_trace({StoreCounts::TraceStep::select,
                         {},
                         query.table(),
                         query.columns(),
                         query.conditions(),
                         limit,
                         {}});
    return inner_->select(rebound(query), limit);
  }
  void insert_rows(const std::vector<TableRow>& rows) override {
    for (const TableRow& r : rows) count_row(r.table);
    counts_->note_trace({StoreCounts::TraceStep::records, {}, {}, {}, {}, {}, rows});
    inner_->insert_rows(rows);
  }
  long long insert(const std::string& table, const Row& row) override {
    count_row(table);
    counts_->note_trace(
        {StoreCounts::TraceStep::records, {}, {}, {}, {}, {}, {TableRow{table, row}}});
    return inner_->insert(table, row);
  }
  long long update(const Query& query, const Row& changes) override {
    ++counts_->db_other_writes;
    return inner_->update(rebound(query), changes);
  }
  long long remove(const Query& query) override {
    ++counts_->db_other_writes;
    return inner_->remove(rebound(query));
  }
  void init_schema() override { inner_->init_schema(); }
  std::string describe() const override { return inner_->describe(); }
  std::optional<std::string> sqlite_path() const override { return inner_->sqlite_path(); }

 private:
  void count_row(const std::string& table) {
    if (table == "logs") {
      ++counts_->db_logs;
    } else if (table == "report") {
      ++counts_->db_reports;
    } else {
      ++counts_->db_other_writes;
    }
  }

  // The same query against the inner store.
  Query rebound(const Query& query) {
    Query q = inner_->table(query.table());
    if (!query.columns().empty()) q.select(query.columns());
    for (const Condition& c : query.conditions()) q.where(c.column, c.op, c.value);
    return q;
  }

  std::shared_ptr<Database> inner_;
  std::shared_ptr<StoreCounts> counts_;
};

}  // namespace

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::shared_ptr<KvStore> counting_kv(std::shared_ptr<KvStore> inner,
                                     std::shared_ptr<StoreCounts> counts) {
  return std::make_shared<CountingKv>(std::move(inner), std::move(counts));
}

std::shared_ptr<Database> counting_db(std::shared_ptr<Database> inner,
                                      std::shared_ptr<StoreCounts> counts) {
  return std::make_shared<CountingDb>(std::move(inner), std::move(counts));
}

}  // namespace vqflow::bench
