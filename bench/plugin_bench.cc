// Cost of calling app plug-ins: a one-shot call through the loader against a
// bare posix_spawn of the same program, and a persistent call against a bare
// pipe round trip to the same worker. The plug-in is this very binary: when
// started as ".../main/run" it plays the app instead of running benchmarks.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/builtin_apps.h"
#include "platform/plugin_loader.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {

namespace fs = std::filesystem;

// ---- the plug-in side ------------------------------------------------------------

void serve_one_shot() {
  char buffer[4096];
  while (::read(0, buffer, sizeof buffer) > 0) {
  }
  static const char answer[] = "{\"status\": 0, \"result\": \"ok\"}\n";
  if (::write(1, answer, sizeof answer - 1) < 0) std::_Exit(1);
  std::_Exit(0);
}

void serve_persistent() {
  char* line = nullptr;
  size_t capacity = 0;
  while (::getline(&line, &capacity, stdin) > 0) {
    const char* id = std::strstr(line, "\"id\":");
    unsigned long long n = id ? std::strtoull(id + 5, nullptr, 10) : 0;
    std::printf("{\"id\": %llu, \"result\": {\"status\": 0, \"result\": \"ok\"}}\n", n);
    std::fflush(stdout);
  }
  std::_Exit(0);
}

// Runs before main: when started as an app, be the app.
[[maybe_unused]] const bool k_is_plugin = [] {
  std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
  std::string argv0, argv1;
  std::getline(cmdline, argv0, '\0');
  std::getline(cmdline, argv1, '\0');
  if (argv0.size() < 9 || argv0.compare(argv0.size() - 9, 9, "/main/run") != 0) return false;
  if (argv1 == "--serve") serve_persistent();
  serve_one_shot();
  return true;
}();

// ---- the server side ------------------------------------------------------------

struct Apps {
  fs::path root;
  Apps() {
    root = fs::temp_directory_path() / ("vqflow_plugin_bench_" + std::to_string(::getpid()));
    const fs::path self = fs::read_symlink("/proc/self/exe");
    for (const char* mode : {"one-shot", "persistent"}) {
      const fs::path app = root / (std::string("bench_") + mode);
      fs::create_directories(app / "main");
      std::ofstream(app / "app.json")
          << R"({"identification": "vqflow", "is_public": true, "mode": ")" << mode
          << R"(", "actions": {"ping": {}}})";
      fs::create_symlink(self, app / "main/run");
    }
  }
  ~Apps() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  std::string program(const char* mode) const {
    return (root / (std::string("bench_") + mode) / "main/run").string();
  }
};

const Apps& apps() {
  static Apps instance;
  return instance;
}

boost::asio::awaitable<void> call_once(std::shared_ptr<vqflow::AppAction> action) {
  auto result = co_await action->call({});
  benchmark::DoNotOptimize(result);
}

void call_through_loader(benchmark::State& state, const std::string& app) {
  vqflow::Config config;
  config.apps_path = apps().root.string();
  auto loader = vqflow::make_app_loader(config);
  boost::asio::io_context ioc;
  for (auto _ : state) {
    boost::asio::co_spawn(ioc, call_once(loader->load(app, "ping")), boost::asio::detached);
    ioc.run();
    ioc.restart();
  }
}

void BM_OneShotPluginCall(benchmark::State& state) { call_through_loader(state, "bench_one-shot"); }
BENCHMARK(BM_OneShotPluginCall)->Unit(benchmark::kMicrosecond);

// The same minimal environment the loader gives.
char* k_environment[] = {const_cast<char*>("PATH=/usr/local/bin:/usr/bin:/bin"),
                         const_cast<char*>("LANG=C.UTF-8"), nullptr};

// The floor for one-shot calls: spawn, write stdin, read stdout, reap.
void BM_PlainPosixSpawn(benchmark::State& state) {
  const std::string program = apps().program("one-shot");
  for (auto _ : state) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("ping"), nullptr};
    pid_t pid;
    if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, k_environment) != 0)
      std::abort();
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (::write(in[1], "{}", 2) != 2) std::abort();
    ::close(in[1]);
    char buffer[256];
    while (::read(out[0], buffer, sizeof buffer) > 0) {
    }
    ::close(out[0]);
    ::waitpid(pid, nullptr, 0);
  }
}
BENCHMARK(BM_PlainPosixSpawn)->Unit(benchmark::kMicrosecond);

void BM_PersistentPluginCall(benchmark::State& state) {
  call_through_loader(state, "bench_persistent");
}
BENCHMARK(BM_PersistentPluginCall)->Unit(benchmark::kMicrosecond);

// The floor for persistent calls: one line out, one line back, same worker program.
void BM_PlainPipeRoundTrip(benchmark::State& state) {
  const std::string program = apps().program("persistent");
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--serve"), nullptr};
  pid_t pid;
  if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, k_environment) != 0)
    std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  FILE* answers = ::fdopen(out[0], "r");
  char* line = nullptr;
  size_t capacity = 0;
  unsigned long long id = 0;
  for (auto _ : state) {
    std::string request =
        "{\"id\": " + std::to_string(++id) + ", \"action\": \"ping\", \"args\": {}}\n";
    if (::write(in[1], request.data(), request.size()) != static_cast<ssize_t>(request.size()))
      std::abort();
    if (::getline(&line, &capacity, answers) <= 0) std::abort();
  }
  std::free(line);
  ::close(in[1]);
  std::fclose(answers);
  ::waitpid(pid, nullptr, 0);
}
BENCHMARK(BM_PlainPipeRoundTrip)->Unit(benchmark::kMicrosecond);

void BM_BuiltinCall(benchmark::State& state) {
  auto action = vqflow::load_builtin_action("vq_noop", "run");
  boost::asio::io_context ioc;
  for (auto _ : state) {
    boost::asio::co_spawn(ioc, call_once(action), boost::asio::detached);
    ioc.run();
    ioc.restart();
  }
}
BENCHMARK(BM_BuiltinCall)->Unit(benchmark::kMicrosecond);

}  // namespace
