// Engine CPU per app node: runs of a playbook of built-in app nodes whose
// arguments carry ten references, with the stores taken out (an in-process
// key-value store and a database that keeps nothing, and the time spent
// inside them and inside the app calls subtracted), then with the real
// embedded stores for context.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <chrono>

#include "macro.h"
#include "platform/kv_store.h"
#include "platform/plugin_loader.h"
#include "run/auto_execute.h"

namespace vqflow::bench {

namespace {

constexpr int k_reference_nodes = 20;  // plus n0

// Nanoseconds spent inside the stores and the app calls, to be taken out of
// the engine's figure. One loop thread only: wall time inside a call that does
// not block is its CPU time, and the steady clock is far cheaper to read than
// the thread CPU clock.
struct OutsideTime {
  long long ns = 0;
};

class Timed {
 public:
  explicit Timed(OutsideTime& total) : total_(total), start_(std::chrono::steady_clock::now()) {}
  ~Timed() {
    total_.ns += std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now() - start_)
                     .count();
  }

 private:
  OutsideTime& total_;
  std::chrono::steady_clock::time_point start_;
};

class TimedKv : public KvStore {
 public:
  TimedKv(std::shared_ptr<KvStore> inner, OutsideTime& total) : inner_(std::move(inner)), total_(total) {}
  std::optional<std::string> get(const std::string& key) override {
    Timed t(total_);
    return inner_->get(key);
  }
  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    Timed t(total_);
    inner_->set(key, value, expire_seconds);
  }
  void set_many(const std::vector<KvWrite>& writes) override {
    Timed t(total_);
    inner_->set_many(writes);
  }
  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    Timed t(total_);
    return inner_->set_if_absent(key, value, expire_seconds);
  }
  long long incr(const std::string& key) override {
    Timed t(total_);
    return inner_->incr(key);
  }
  long long decr(const std::string& key) override {
    Timed t(total_);
    return inner_->decr(key);
  }
  bool exists(const std::string& key) override {
    Timed t(total_);
    return inner_->exists(key);
  }
  bool del(const std::string& key) override {
    Timed t(total_);
    return inner_->del(key);
  }
  std::string describe() const override { return inner_->describe(); }

 private:
  std::shared_ptr<KvStore> inner_;
  OutsideTime& total_;
};

// Built-in actions finish without suspending, so the time between the first
// and the last instruction of the call is the app's own.
class TimedAction : public AppAction {
 public:
  TimedAction(std::shared_ptr<AppAction> inner, OutsideTime& total)
      : inner_(std::move(inner)), total_(total) {}
  boost::asio::awaitable<Value> call(NamedArguments args) override {
    const auto start = std::chrono::steady_clock::now();
    Value result = co_await inner_->call(std::move(args));
    total_.ns += std::chrono::duration_cast<std::chrono::nanoseconds>(
                     std::chrono::steady_clock::now() - start)
                     .count();
    co_return result;
  }

 private:
  std::shared_ptr<AppAction> inner_;
  OutsideTime& total_;
};

class TimedLoader : public AppLoader {
 public:
  TimedLoader(std::shared_ptr<AppLoader> inner, OutsideTime& total)
      : inner_(std::move(inner)), total_(total) {}
  std::shared_ptr<AppAction> load(const std::string& app_dir, const std::string& action) override {
    Timed t(total_);
    return std::make_shared<TimedAction>(inner_->load(app_dir, action), total_);
  }

 private:
  std::shared_ptr<AppLoader> inner_;
  OutsideTime& total_;
};

// A database that answers the playbook and its global variables and keeps
// nothing it is given. Counts log records of failed nodes so that a broken
// playbook does not pass for a fast one.
class NullDatabase : public Database {
 public:
  NullDatabase(Row workflow, OutsideTime& total) : workflow_(std::move(workflow)), total_(total) {}
  std::vector<Row> select(const Query& query, std::optional<long long>) override {
    Timed t(total_);
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
    Timed t(total_);
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
  OutsideTime& total_;
  std::atomic<long long> next_id_{0};
};

struct Cost {
  double thread_cpu_us_per_node = 0;
  double outside_us_per_node = 0;  // inside stores and apps (when timed)
  double process_cpu_us_per_node = 0;
  double wall_us_per_node = 0;
  std::optional<std::string> failure;
};

// Runs on this thread's own loop, one at a time, so that the thread CPU clock
// sees the whole run.
Cost measure(const std::shared_ptr<Services>& services, boost::asio::io_context& ioc,
             const std::string& uuid, int app_nodes, long runs, const OutsideTime* outside = nullptr) {
  auto one = [&]() -> bool {
    bool done = false;
    auto_execute(services, uuid, nullptr, RunRequest{}, [&done](std::exception_ptr) { done = true; });
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
  const long long outside0 = outside ? outside->ns : 0;
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
  if (outside) cost.outside_us_per_node = static_cast<double>(outside->ns - outside0) / 1e3 / nodes;
  return cost;
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
    OutsideTime outside;
    auto services = std::make_shared<Services>();
    services->config.apps_path = dir.file("apps");
    auto db = std::make_shared<NullDatabase>(playbook, outside);
    services->db = db;
    services->kv = std::make_shared<TimedKv>(open_kv_store("memory://", std::nullopt), outside);
    services->apps = std::make_shared<TimedLoader>(make_app_loader(services->config), outside);
    services->executor = ioc.get_executor();
    Cost cost = measure(services, ioc, uuid, app_nodes, runs, &outside);
    if (!cost.failure && db->failed_logs > 0) {
      cost.failure = fmt::format("{} node records report a failure", db->failed_logs.load());
    }
    Figure row = judged(section, "thread CPU per node, 10 refs (stores, app excluded)",
                        cost.thread_cpu_us_per_node - cost.outside_us_per_node, "us", std::nullopt,
                        "", Bound::value_at_most, 5);
    row.failure = cost.failure;
    report.add(row);
    report.add(info(section, "thread CPU per node, stores and app included", cost.thread_cpu_us_per_node,
                    "us"));
    report.add(info(section, "time inside stores and app per node", cost.outside_us_per_node, "us"));
    report.note(section,
                fmt::format("{} runs of start, {} vq_text nodes, end; CLOCK_THREAD_CPUTIME_ID of the loop "
                            "thread over all runs / app nodes, minus the steady-clock time spent inside "
                            "the key-value store, the database and the app calls",
                            runs, app_nodes));
  }

  // The same with the embedded stores (SQLite file + key-value table in it).
  {
    boost::asio::io_context ioc;
    auto guard = boost::asio::make_work_guard(ioc);
    auto services =
        open_bench_services(dir.file("engine.db"), "", dir.file("apps"), ioc.get_executor(), playbook);
    for (const Row& global : reference_globals()) services->db->table("variablen").insert(global);
    Cost cost = measure(services, ioc, uuid, app_nodes, options.quick ? 100 : 300);
    Figure row = info(section, "thread CPU per node (embedded stores)", cost.thread_cpu_us_per_node, "us");
    row.failure = cost.failure;
    report.add(row);
    report.add(info(section, "process CPU per node (embedded stores)", cost.process_cpu_us_per_node, "us"));
    report.add(info(section, "wall time per node (embedded stores)", cost.wall_us_per_node, "us"));
  }
}

}  // namespace vqflow::bench
