// Engine CPU per app node: runs of a playbook of built-in app nodes whose
// arguments carry ten references, with the stores taken out (an in-process
// key-value store and a database that keeps nothing, and what their calls and
// the app calls cost on their own subtracted), then with the real embedded
// stores for context.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <chrono>

#include "macro.h"
#include "plugins/plugin_loader.h"
#include "run/auto_execute.h"
#include "stores/kv_store.h"

namespace vqflow::bench {

namespace {

constexpr int k_reference_nodes = 20;  // plus n0

// What one run asks of the stores and the apps, recorded during one run and
// replayed on its own afterwards. The replay's thread CPU time is what the
// stores and the apps cost; the engine's figure is the run's thread CPU time
// without it. (Timing each call inside the run would need a clock read per
// call, which costs as much as the calls, and wall time there is not CPU time
// on a busy machine.)
struct KvCall {
  enum Kind { get, set, set_many, set_if_absent, incr, decr, exists, del } kind = get;
  std::string key;
  std::string value;
  std::optional<long long> expire;
  std::vector<KvWrite> writes;
};

struct AppCall {
  std::string app_dir;
  std::string action;
  NamedArguments args;
};

struct Recording {
  bool on = false;
  std::vector<KvCall> kv;
  std::vector<AppCall> apps;
  std::vector<Query> selects;
  std::vector<std::pair<std::string, Row>> inserts;
};

class RecordingKv : public KvStore {
 public:
  RecordingKv(std::shared_ptr<KvStore> inner, Recording& recording)
      : inner_(std::move(inner)), recording_(recording) {}
  std::optional<std::string> get(const std::string& key) override {
    note(KvCall::get, key);
    return inner_->get(key);
  }
  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    note(KvCall::set, key, value, expire_seconds);
    inner_->set(key, value, expire_seconds);
  }
  void set_many(const std::vector<KvWrite>& writes) override {
    note(KvCall::set_many, {}, {}, {}, writes);
    inner_->set_many(writes);
  }
  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    note(KvCall::set_if_absent, key, value, expire_seconds);
    return inner_->set_if_absent(key, value, expire_seconds);
  }
  long long incr(const std::string& key) override {
    note(KvCall::incr, key);
    return inner_->incr(key);
  }
  long long decr(const std::string& key) override {
    note(KvCall::decr, key);
    return inner_->decr(key);
  }
  bool exists(const std::string& key) override {
    note(KvCall::exists, key);
    return inner_->exists(key);
  }
  bool del(const std::string& key) override {
    note(KvCall::del, key);
    return inner_->del(key);
  }
  std::string describe() const override { return inner_->describe(); }

 private:
  void note(KvCall::Kind kind, const std::string& key, const std::string& value = {},
            std::optional<long long> expire = {}, const std::vector<KvWrite>& writes = {}) {
    if (!recording_.on) return;
    KvCall call;
    call.kind = kind;
    call.key = key;
    call.value = value;
    call.expire = expire;
    call.writes = writes;
    recording_.kv.push_back(std::move(call));
  }
  std::shared_ptr<KvStore> inner_;
  Recording& recording_;
};

class RecordingAction : public AppAction {
 public:
  RecordingAction(std::shared_ptr<AppAction> inner, AppCall call, Recording& recording)
      : inner_(std::move(inner)), call_(std::move(call)), recording_(recording) {}
  boost::asio::awaitable<Value> call(NamedArguments args, CallControl) override {
    if (recording_.on) {
      AppCall call = call_;
      call.args = args;
      recording_.apps.push_back(std::move(call));
    }
    co_return co_await inner_->call(std::move(args));
  }

 private:
  std::shared_ptr<AppAction> inner_;
  AppCall call_;
  Recording& recording_;
};

class RecordingLoader : public AppLoader {
 public:
  RecordingLoader(std::shared_ptr<AppLoader> inner, Recording& recording)
      : inner_(std::move(inner)), recording_(recording) {}
  std::shared_ptr<AppAction> load(const std::string& app_dir, const std::string& action) override {
    return std::make_shared<RecordingAction>(inner_->load(app_dir, action),
                                             AppCall{app_dir, action, {}}, recording_);
  }

 private:
  std::shared_ptr<AppLoader> inner_;
  Recording& recording_;
};

// A database that answers the playbook and its global variables and keeps
// nothing it is given. Counts log records of failed nodes so that a broken
// playbook does not pass for a fast one.
class NullDatabase : public Database {
 public:
  NullDatabase(Row workflow, Recording& recording)
      : workflow_(std::move(workflow)), recording_(recording) {}
  std::vector<Row> select(const Query& query, std::optional<long long>) override {
    if (recording_.on) recording_.selects.push_back(query);
    // Every asked-for column is present, null when the playbook has none, as
    // the real stores answer.
    if (query.table() == "workflow") {
      Row row = Value::object();
      const std::vector<std::string>& columns =
          query.columns().empty() ? table_columns("workflow") : query.columns();
      for (const std::string& column : columns) row[column] = workflow_.value(column, Value());
      return {row};
    }
    if (query.table() == "variablen") return reference_globals();
    return {};
  }
  long long insert(const std::string& table, const Row& row) override {
    if (recording_.on) recording_.inserts.emplace_back(table, row);
    if (table == "logs" && row.value("status", Value(0)) != Value(0)) ++failed_logs;
    return ++next_id_;
  }
  long long update(const Query&, const Row&) override { return 0; }
  long long remove(const Query&) override { return 0; }
  void init_schema() override {}
  std::string describe() const override { return "null database"; }
  std::optional<std::string> sqlite_path() const override { return std::nullopt; }

  std::atomic<long> failed_logs{0};

 private:
  Row workflow_;
  Recording& recording_;
  std::atomic<long long> next_id_{0};
};

// Thread CPU seconds that `runs` replays of the recorded calls take: the key-value
// calls against a fresh in-process store (each replay under a run id of its
// own, as runs write new keys), the database calls, and the app calls on the
// loop. Arguments are prepared before the clock starts.
double replay_seconds(const Recording& recording, const std::string& only_id, long runs,
                      const std::shared_ptr<AppLoader>& loader, Database& db,
                      boost::asio::io_context& ioc) {
  std::vector<KvCall> calls;
  calls.reserve(recording.kv.size() * static_cast<std::size_t>(runs));
  for (long r = 0; r < runs; ++r) {
    const std::string id = fmt::format("{:010d}", r);
    for (KvCall call : recording.kv) {
      call.key = replaced(call.key, only_id, id);
      for (KvWrite& write : call.writes) write.key = replaced(write.key, only_id, id);
      calls.push_back(std::move(call));
    }
  }
  std::vector<NamedArguments> app_args;
  for (long r = 0; r < runs; ++r) {
    for (const AppCall& call : recording.apps) app_args.push_back(call.args);
  }
  std::shared_ptr<KvStore> kv = open_kv_store("memory://", std::nullopt);

  const double start = thread_cpu_seconds();
  for (KvCall& call : calls) {
    switch (call.kind) {
      case KvCall::get:
        kv->get(call.key);
        break;
      case KvCall::set:
        kv->set(call.key, call.value, call.expire);
        break;
      case KvCall::set_many:
        kv->set_many(call.writes);
        break;
      case KvCall::set_if_absent:
        kv->set_if_absent(call.key, call.value, call.expire);
        break;
      case KvCall::incr:
        kv->incr(call.key);
        break;
      case KvCall::decr:
        kv->decr(call.key);
        break;
      case KvCall::exists:
        kv->exists(call.key);
        break;
      case KvCall::del:
        kv->del(call.key);
        break;
    }
  }
  for (long r = 0; r < runs; ++r) {
    for (const Query& query : recording.selects) db.select(query, std::nullopt);
    for (const auto& [table, row] : recording.inserts) db.insert(table, row);
  }
  bool done = false;
  boost::asio::co_spawn(
      ioc,
      [&]() -> boost::asio::awaitable<void> {
        std::size_t next = 0;
        for (long r = 0; r < runs; ++r) {
          for (const AppCall& call : recording.apps) {
            std::shared_ptr<AppAction> action = loader->load(call.app_dir, call.action);
            co_await action->call(std::move(app_args[next++]));
          }
        }
        done = true;
      },
      boost::asio::detached);
  while (!done) ioc.run_one();
  return thread_cpu_seconds() - start;
}

struct Cost {
  double thread_cpu_us_per_node = 0;
  double outside_us_per_node = 0;  // stores and apps, when replayed
  double process_cpu_us_per_node = 0;
  double wall_us_per_node = 0;
  std::optional<std::string> failure;
};

// Runs on this thread's own loop, one at a time, so that the thread CPU clock
// sees the whole run.
Cost measure(const std::shared_ptr<Services>& services, boost::asio::io_context& ioc,
             const std::string& uuid, int app_nodes, long runs) {
  auto one = [&]() -> bool {
    bool done = false;
    auto_execute(services, uuid, nullptr, RunRequest{},
                 [&done](const RunOutcome&) { done = true; });
    const double deadline = now_seconds() + 30;
    while (!done && now_seconds() < deadline) ioc.run_one_for(std::chrono::milliseconds(100));
    return done;
  };
  Cost cost;
  for (int i = 0; i < 20; ++i) {
    if (!one()) {
      cost.failure = "a warm-up run did not finish within 30 s";
      return cost;
    }
  }
  const double cpu0 = thread_cpu_seconds(), proc0 = process_cpu_seconds(), wall0 = now_seconds();
  for (long i = 0; i < runs; ++i) {
    if (!one()) {
      cost.failure = "a run did not finish within 30 s";
      return cost;
    }
  }
  const double nodes = static_cast<double>(runs) * app_nodes;
  cost.thread_cpu_us_per_node = (thread_cpu_seconds() - cpu0) * 1e6 / nodes;
  cost.process_cpu_us_per_node = (process_cpu_seconds() - proc0) * 1e6 / nodes;
  cost.wall_us_per_node = (now_seconds() - wall0) * 1e6 / nodes;
  return cost;
}

// One run with the stores and the loader recording what they are asked.
std::optional<std::string> record_one_run(const std::shared_ptr<Services>& services,
                                          boost::asio::io_context& ioc, const std::string& uuid,
                                          Recording& recording) {
  recording.on = true;
  bool done = false;
  const std::string only_id = auto_execute(services, uuid, nullptr, RunRequest{},
                                           [&done](const RunOutcome&) { done = true; });
  const double deadline = now_seconds() + 30;
  while (!done && now_seconds() < deadline) ioc.run_one_for(std::chrono::milliseconds(100));
  recording.on = false;
  if (!done) return std::nullopt;
  return only_id;
}

}  // namespace

void engine_section(Report& report, const Options& options) {
  const std::string section = "1 engine CPU per node";
  const std::string uuid = "bench-refs";
  const int app_nodes = k_reference_nodes + 1;
  const long runs = options.quick ? 300 : 1500;
  ScratchDir dir(options, "engine");
  std::filesystem::create_directories(dir.path() / "apps");
  const Row playbook = reference_playbook(uuid, k_reference_nodes);

  // Stores and app excluded.
  {
    boost::asio::io_context ioc;
    auto guard = boost::asio::make_work_guard(ioc);
    Recording recording;
    auto services = std::make_shared<Services>();
    services->config.apps_path = dir.file("apps");
    auto db = std::make_shared<NullDatabase>(playbook, recording);
    std::shared_ptr<KvStore> kv = open_kv_store("memory://", std::nullopt);
    std::shared_ptr<AppLoader> loader = make_app_loader(services->config);
    services->db = db;
    services->kv = std::make_shared<RecordingKv>(kv, recording);
    services->apps = std::make_shared<RecordingLoader>(loader, recording);
    services->executor = ioc.get_executor();
    std::optional<std::string> only_id = record_one_run(services, ioc, uuid, recording);
    services->kv = kv;
    services->apps = loader;
    // Runs and replays in turn, so that both see the same machine (thread CPU
    // times on this kind of VM drift by tens of percent within a minute);
    // the figures are medians over the rounds.
    constexpr int k_rounds = 5;
    const long round_runs = std::max<long>(1, runs / k_rounds);
    const double round_nodes = static_cast<double>(round_runs) * app_nodes;
    std::vector<double> engine, included, outside;
    Cost cost;
    if (!only_id) cost.failure = "the recorded run did not finish within 30 s";
    for (int round = 0; round < k_rounds && !cost.failure; ++round) {
      Cost measured = measure(services, ioc, uuid, app_nodes, round_runs);
      if (measured.failure) {
        cost.failure = measured.failure;
        break;
      }
      const double replayed =
          replay_seconds(recording, *only_id, round_runs, loader, *db, ioc) * 1e6 / round_nodes;
      engine.push_back(measured.thread_cpu_us_per_node - replayed);
      included.push_back(measured.thread_cpu_us_per_node);
      outside.push_back(replayed);
    }
    if (!cost.failure && db->failed_logs > 0) {
      cost.failure = fmt::format("{} node records report a failure", db->failed_logs.load());
    }
    auto median = [](std::vector<double> values) {
      if (values.empty()) return 0.0;
      std::sort(values.begin(), values.end());
      return values[values.size() / 2];
    };
    cost.thread_cpu_us_per_node = median(included);
    cost.outside_us_per_node = median(outside);
    const double engine_us = median(engine);
    Figure row = judged(section, "thread CPU per node, 10 refs (stores, app excluded)", engine_us,
                        "us", std::nullopt, "", Bound::value_at_most, 3);
    row.failure = cost.failure;
    report.add(row);
    report.add(info(section, "thread CPU per node, stores and app included",
                    cost.thread_cpu_us_per_node, "us"));
    report.add(
        info(section, "stores and app alone (replayed) per node", cost.outside_us_per_node, "us"));
    report.note(
        section,
        fmt::format(
            "{} rounds of {} runs of start, {} vq_text nodes, end; per round, "
            "CLOCK_THREAD_CPUTIME_ID of the loop thread over the runs / app nodes, minus the "
            "thread CPU time of replaying the key-value, database and app calls of one "
            "recorded run as often; medians over the rounds",
            k_rounds, round_runs, app_nodes));
  }

  // The same with the embedded stores (SQLite file + key-value table in it).
  {
    boost::asio::io_context ioc;
    auto guard = boost::asio::make_work_guard(ioc);
    auto services = open_bench_services(dir.file("engine.db"), "", dir.file("apps"),
                                        ioc.get_executor(), playbook);
    for (const Row& global : reference_globals()) services->db->table("variablen").insert(global);
    Cost cost = measure(services, ioc, uuid, app_nodes, options.quick ? 100 : 300);
    Figure row =
        info(section, "thread CPU per node (embedded stores)", cost.thread_cpu_us_per_node, "us");
    row.failure = cost.failure;
    report.add(row);
    report.add(info(section, "process CPU per node (embedded stores)", cost.process_cpu_us_per_node,
                    "us"));
    report.add(info(section, "wall time per node (embedded stores)", cost.wall_us_per_node, "us"));
  }
}

}  // namespace vqflow::bench
