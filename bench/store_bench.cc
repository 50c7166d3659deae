// Store throughput: SQLite log inserts and lookups, the embedded key-value
// store (a table in the same file) and the in-process store; Redis when
// VQFLOW_TEST_REDIS names a server.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "stores/database.h"
#include "stores/kv_store.h"
#include "stores/memory_kv_store.h"

namespace {

using namespace vqflow;

// A fresh folder for one benchmark, removed afterwards.
struct Scratch {
  Scratch() {
    static int counter = 0;
    path = std::filesystem::temp_directory_path() /
           ("vqflow_bench_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(path);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::string file(const char* name) const { return (path / name).string(); }
  std::filesystem::path path;
};

Row log_row(long long i) {
  return Row{{"only_id", "a1b2c3d4e5"},
             {"uuid", "wf-0001"},
             {"app_uuid", "node-" + std::to_string(i % 20)},
             {"app_name", "扫描"},
             {"result", R"({"status": 0, "result": "ok"})"},
             {"status", 0},
             {"html", "<span>ok</span>"},
             {"args", "{}"},
             {"create_time", "2024-01-02 03:04:05"}};
}

void BM_SqliteInsertLog(benchmark::State& state) {
  Scratch scratch;
  auto db = open_database(scratch.file("bench.db"));
  db->init_schema();
  long long i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(db->table("logs").insert(log_row(i++)));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqliteInsertLog);

// One group commit of 64 log rows, as the record writer makes with 64 runs in flight.
void BM_SqliteInsertLogRows64(benchmark::State& state) {
  Scratch scratch;
  auto db = open_database(scratch.file("bench.db"));
  db->init_schema();
  long long i = 0;
  std::vector<TableRow> rows;
  for (auto _ : state) {
    state.PauseTiming();
    rows.clear();
    for (int r = 0; r < 64; ++r) rows.push_back(TableRow{"logs", log_row(i++)});
    state.ResumeTiming();
    db->insert_rows(rows);
  }
  state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(BM_SqliteInsertLogRows64);

void BM_SqliteFirstByUuid(benchmark::State& state) {
  Scratch scratch;
  auto db = open_database(scratch.file("bench.db"));
  db->init_schema();
  for (int i = 0; i < 1000; ++i) {
    db->table("workflow")
        .insert(Row{{"uuid", "wf-" + std::to_string(i)}, {"name", "n"}, {"status", 0}});
  }
  int i = 0;
  for (auto _ : state) {
    auto row = db->table("workflow").where("uuid", "wf-" + std::to_string(i++ % 1000)).first();
    benchmark::DoNotOptimize(row);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SqliteFirstByUuid);

void kv_set_get(benchmark::State& state, KvStore& kv) {
  long long i = 0;
  for (auto _ : state) {
    std::string key = "node-" + std::to_string(i++ % 1000) + "&&a1b2c3d4e5&&result";
    kv.set(key, R"({"status": 0, "result": "ok"})", 604800);
    benchmark::DoNotOptimize(kv.get(key));
  }
  state.SetItemsProcessed(state.iterations() * 2);
}

void kv_incr(benchmark::State& state, KvStore& kv) {
  for (auto _ : state) benchmark::DoNotOptimize(kv.incr("exec_sum"));
  state.SetItemsProcessed(state.iterations());
}

void BM_EmbeddedKvSetGet(benchmark::State& state) {
  Scratch scratch;
  auto kv = open_kv_store("", scratch.file("bench.db"));
  kv_set_get(state, *kv);
}
BENCHMARK(BM_EmbeddedKvSetGet);

void BM_EmbeddedKvIncr(benchmark::State& state) {
  Scratch scratch;
  auto kv = open_kv_store("", scratch.file("bench.db"));
  kv_incr(state, *kv);
}
BENCHMARK(BM_EmbeddedKvIncr);

void BM_MemoryKvSetGet(benchmark::State& state) {
  auto kv = make_memory_kv_store();
  kv_set_get(state, *kv);
}
BENCHMARK(BM_MemoryKvSetGet);

void BM_MemoryKvIncr(benchmark::State& state) {
  auto kv = make_memory_kv_store();
  kv_incr(state, *kv);
}
BENCHMARK(BM_MemoryKvIncr);

void BM_RedisSetGet(benchmark::State& state) {
  const char* url = std::getenv("VQFLOW_TEST_REDIS");
  if (url == nullptr || *url == '\0') {
    state.SkipWithError("VQFLOW_TEST_REDIS is not set");
    return;
  }
  auto kv = open_kv_store(url, std::nullopt);
  kv_set_get(state, *kv);
}
BENCHMARK(BM_RedisSetGet);

}  // namespace
