// Engine CPU per app node: runs of a playbook of built-in app nodes whose
// arguments carry ten references, with the stores taken out (an in-process
// key-value store and a database that keeps nothing), then with the real
// embedded stores for context.
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "macro.h"
#include "platform/kv_store.h"
#include "platform/plugin_loader.h"
#include "run/auto_execute.h"

namespace vqflow::bench {

namespace {

constexpr int k_reference_nodes = 20;  // plus n0

// A database that answers the playbook and its global variables and keeps
// nothing it is given. Counts log records of failed nodes so that a broken
// playbook does not pass for a fast one.
class NullDatabase : public Database {
 public:
  explicit NullDatabase(Row workflow) : workflow_(std::move(workflow)) {}
  std::vector<Row> select(const Query& query, std::optional<long long>) override {
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
  std::atomic<long long> next_id_{0};
};

struct Cost {
  double thread_cpu_us_per_node = 0;
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

}  // namespace

void engine_section(Report& report, const Options& options) {
  const std::string section = "1 engine CPU per node";
  const std::string uuid = "bench-refs";
  const int app_nodes = k_reference_nodes + 1;
  const long runs = options.quick ? 300 : 1500;
  ScratchDir dir(options, "engine");
  std::filesystem::create_directories(dir.path() / "apps");
  const Row playbook = reference_playbook(uuid, k_reference_nodes);

  // Stores excluded.
  {
    boost::asio::io_context ioc;
    auto guard = boost::asio::make_work_guard(ioc);
    auto services = std::make_shared<Services>();
    services->config.apps_path = dir.file("apps");
    auto db = std::make_shared<NullDatabase>(playbook);
    services->db = db;
    services->kv = open_kv_store("memory://", std::nullopt);
    services->apps = make_app_loader(services->config);
    services->executor = ioc.get_executor();
    Cost cost = measure(services, ioc, uuid, app_nodes, runs);
    if (!cost.failure && db->failed_logs > 0) {
      cost.failure = fmt::format("{} node records report a failure", db->failed_logs.load());
    }
    Figure row = judged(section, "thread CPU per node, 10 refs (stores excluded)",
                        cost.thread_cpu_us_per_node, "us", std::nullopt, "", Bound::value_at_most, 5);
    row.failure = cost.failure;
    report.add(row);
    report.add(info(section, "wall time per node (stores excluded)", cost.wall_us_per_node, "us"));
    report.note(section, fmt::format("{} runs of start, {} vq_text nodes, end; CLOCK_THREAD_CPUTIME_ID "
                                     "of the loop thread over all runs / app nodes",
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
