// Engine cost of one app node: ten references expanded, the argument keys
// written, an in-process action called and its result captured and logged.
#include <benchmark/benchmark.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "apps/reference_expansion.h"
#include "plugins/app_loader.h"
#include "run/auto.h"
#include "stores/database.h"
#include "stores/kv_store.h"

namespace vqflow {
namespace {

class EchoAction : public AppAction {
 public:
  boost::asio::awaitable<Value> call(NamedArguments args, CallControl) override {
    Value result = Value::object();
    for (auto& [name, value] : args) result[name] = value;
    co_return Value{{"status", 0}, {"result", std::move(result)}};
  }
};

class EchoLoader : public AppLoader {
 public:
  std::shared_ptr<AppAction> load(const std::string&, const std::string&) override {
    return action_;
  }

 private:
  std::shared_ptr<AppAction> action_ = std::make_shared<EchoAction>();
};

struct Setup {
  std::filesystem::path dir;
  std::shared_ptr<Services> services;
  std::unique_ptr<Auto> engine;
  Value info;

  Setup() {
    dir = std::filesystem::temp_directory_path() / "vqflow_app_node_bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "apps" / "demo");
    std::ofstream(dir / "apps" / "demo" / "app.json")
        << R"({"identification": "vqflow", "is_public": true})";
    services = std::make_shared<Services>();
    services->config.apps_path = (dir / "apps").string();
    services->db = open_database((dir / "bench.db").string());
    services->db->init_schema();
    services->kv = open_kv_store("memory://", std::nullopt);
    services->apps = std::make_shared<EchoLoader>();
    engine = std::make_unique<Auto>(services, nullptr);
    engine->global_var_data = Value{{"host", "10.0.0.1"}, {"port", "8443"}};
    engine->local_var_data = Value{{"user", "admin"}, {"token", std::string(64, 't')}};
    // An earlier node's result, held by the run as a run holds its state.
    engine->stage_kv(engine->run_key("p-r-e-v-1", "result"),
                     R"({"data": [{"name": "alpha", "tags": ["a", "b"]}, {"name": "beta"}]})");
    Value data = {{"node_name", "Demo"}, {"action", "run"}, {"description", "bench"}};
    data["url"] = "https://@{host}:@{port}/api";
    data["auth"] = "@[user]:@[token]";
    data["first"] = "@(p-r-e-v-1.result!>data!>0!>name)";
    data["second"] = "@(p-r-e-v-1.result!>data!>1!>name)";
    data["tag"] = "@(p-r-e-v-1.result!>data!>0!>tags!>-1)";
    data["all"] = "@(p-r-e-v-1.result)";
    data["again"] = "@{host}/@[user]";
    data["plain"] = "no references here";
    info = Value{{"app_dir", "demo"}, {"data", std::move(data)}};
  }
  ~Setup() { std::filesystem::remove_all(dir); }
};

boost::asio::awaitable<void> one_node(Auto* engine, Value info, NodeResult* out) {
  *out = co_await engine->get_app_data("play", "a-p-p-0-1", std::move(info), true);
}

void BM_AppNode(benchmark::State& state) {
  Setup setup;
  boost::asio::io_context ioc;
  NodeResult result;
  for (auto _ : state) {
    boost::asio::co_spawn(ioc, one_node(setup.engine.get(), setup.info, &result),
                          boost::asio::detached);
    ioc.run();
    ioc.restart();
  }
  if (result.status != 0) state.SkipWithError(result.result.c_str());
  benchmark::DoNotOptimize(result);
}
BENCHMARK(BM_AppNode)->Unit(benchmark::kMicrosecond);

boost::asio::awaitable<void> execute_only(Auto* engine, Value info, Value* out) {
  *out = co_await engine->execute("a-p-p-0-1", "demo", info["data"]);
}

// The same node without result capture (no result keys, no log record).
void BM_AppNodeExecuteOnly(benchmark::State& state) {
  Setup setup;
  boost::asio::io_context ioc;
  Value result;
  for (auto _ : state) {
    boost::asio::co_spawn(ioc, execute_only(setup.engine.get(), setup.info, &result),
                          boost::asio::detached);
    ioc.run();
    ioc.restart();
  }
  if (result["status"] != 0) state.SkipWithError("node failed");
}
BENCHMARK(BM_AppNodeExecuteOnly)->Unit(benchmark::kMicrosecond);

void BM_ExpandTenReferences(benchmark::State& state) {
  Setup setup;
  const std::string text =
      "https://@{host}:@{port}/api @[user]:@[token] @(p-r-e-v-1.result!>data!>0!>name) "
      "@(p-r-e-v-1.result!>data!>1!>name) @(p-r-e-v-1.result!>data!>0!>tags!>-1) "
      "@(p-r-e-v-1.result) @{host} @[user]";
  for (auto _ : state) benchmark::DoNotOptimize(setup.engine->analysis_var(text));
}
BENCHMARK(BM_ExpandTenReferences)->Unit(benchmark::kMicrosecond);

void BM_ExpandLargeTextWithoutReferences(benchmark::State& state) {
  const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
  AppValueReader none = [](const std::string&, const std::string&) {
    return std::optional<std::string>();
  };
  std::string with_at = "@" + text + ")";
  for (auto _ : state) {
    benchmark::DoNotOptimize(expand_references(with_at, Value(), Value(), none));
  }
  state.SetBytesProcessed(state.iterations() * static_cast<long long>(with_at.size()));
}
BENCHMARK(BM_ExpandLargeTextWithoutReferences)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vqflow
