// App plug-in call costs against the bare process work they cannot avoid. The
// compiled plug-in is this very binary: started as ".../main/run" it plays the
// app instead of running the bench.
#include <fcntl.h>
#include <fmt/format.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <tuple>

#include "macro.h"
#include "plugins/plugin_loader.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow::bench {

namespace {

namespace fs = std::filesystem;

// ---- the plug-in side ----------------------------------------------------------------

// The CPU a worker is to run on: a file "cpu" beside the program holds its
// number (the bench writes it per placement; no file, no pinning). Both the
// bare worker and the loader's worker read it, so both sides run alike.
void pin_as_told(const std::string& program) {
  const std::string folder = program.substr(0, program.rfind('/') + 1);
  std::ifstream file(folder + "cpu");
  int cpu = -1;
  if (!(file >> cpu) || cpu < 0 || cpu >= CPU_SETSIZE) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  ::sched_setaffinity(0, sizeof set, &set);
}

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
  if (argv1 == "--serve") {
    pin_as_told(argv0);
    serve_persistent();
  }
  serve_one_shot();
  return true;
}();

// ---- the bench side ------------------------------------------------------------------

// The same minimal environment the loader gives.
char* k_environment[] = {const_cast<char*>("PATH=/usr/local/bin:/usr/bin:/bin"),
                         const_cast<char*>("LANG=C.UTF-8"), nullptr};

// Spawns `argv`, writes `input` to its stdin, reads stdout to the end, reaps it.
void spawn_and_wait(const std::vector<std::string>& argv, std::string_view input) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error("pipe failed");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  const int rc =
      ::posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, args.data(), k_environment);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc == 0 && !input.empty() &&
      ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
    // The child went early; reaping it below says enough.
  }
  ::close(in[1]);
  char buffer[512];
  while (::read(out[0], buffer, sizeof buffer) > 0) {
  }
  ::close(out[0]);
  if (rc != 0) throw std::runtime_error(std::string("posix_spawn: ") + std::strerror(rc));
  ::waitpid(pid, nullptr, 0);
}

// µs per round trip of one line to a worker started with `argv`.
double pipe_round_trip_us(const std::string& program, long count) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--serve"), nullptr};
  pid_t pid;
  const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, k_environment);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (rc != 0) {
    ::close(in[1]);
    ::close(out[0]);
    throw std::runtime_error("posix_spawn failed");
  }
  FILE* answers = ::fdopen(out[0], "r");
  char* line = nullptr;
  size_t capacity = 0;
  bool ok = true;
  double start = 0;
  const long warm_up = std::max(1L, count / 10);  // as loader_call_us
  for (long id = 0; id < count + warm_up && ok; ++id) {
    if (id == warm_up) start = now_seconds();
    const std::string request =
        "{\"id\": " + std::to_string(id) + ", \"action\": \"ping\", \"args\": {}}\n";
    ok = ::write(in[1], request.data(), request.size()) == static_cast<ssize_t>(request.size()) &&
         ::getline(&line, &capacity, answers) > 0;
  }
  const double elapsed = now_seconds() - start;
  std::free(line);
  ::close(in[1]);
  std::fclose(answers);
  ::waitpid(pid, nullptr, 0);
  if (!ok) throw std::runtime_error("the worker stopped answering");
  return elapsed * 1e6 / static_cast<double>(count);
}

boost::asio::awaitable<long> call_many(std::shared_ptr<AppAction> action, NamedArguments args,
                                       long count) {
  long failures = 0;
  for (long i = 0; i < count; ++i) {
    Value result = co_await action->call(args);
    if (!result.is_object() || result.value("status", Value(1)) != Value(0)) ++failures;
  }
  co_return failures;
}

// µs per call of `action` through the loader, calls one after another.
double loader_call_us(const std::shared_ptr<AppLoader>& loader, const std::string& app,
                      const std::string& action_name, NamedArguments args, long count) {
  boost::asio::io_context ioc;
  auto action = loader->load(app, action_name);
  auto run = [&](long n) {
    auto future = boost::asio::co_spawn(ioc, call_many(action, args, n), boost::asio::use_future);
    ioc.run();
    ioc.restart();
    if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
      throw std::runtime_error("calls of " + app + " did not finish");
    }
    const long failures = future.get();
    if (failures > 0) throw std::runtime_error(fmt::format("{} calls of {} failed", failures, app));
  };
  run(std::max(1L, count / 10));  // warm-up (starts a persistent worker)
  const double start = now_seconds();
  run(count);
  return (now_seconds() - start) * 1e6 / static_cast<double>(count);
}

double spawn_us(const std::vector<std::string>& argv, std::string_view input, long count) {
  spawn_and_wait(argv, input);
  const double start = now_seconds();
  for (long i = 0; i < count; ++i) spawn_and_wait(argv, input);
  return (now_seconds() - start) * 1e6 / static_cast<double>(count);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Rounds of `a` and `b` taken in turn, the median of each: both sides see the
// same spells of load from the rest of the machine.
std::pair<double, double> interleaved_medians(int rounds, const std::function<double()>& a,
                                              const std::function<double()>& b) {
  std::vector<double> as, bs;
  for (int round = 0; round < rounds; ++round) {
    as.push_back(a());
    bs.push_back(b());
  }
  return {median(as), median(bs)};
}

// Where the bench thread and the worker run during one paired measurement.
struct Placement {
  std::string name;  // for the figure names
  int bench_cpu;
  int worker_cpu;
};

// The same CPU for both, and two different ones when the process may use
// two: the first shows what the call path costs in CPU, the second what it
// adds to the wake-ups between two CPUs.
std::vector<Placement> placements() {
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return {};
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE && cpus.size() < 2; ++cpu)
    if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
  if (cpus.empty()) return {};
  std::vector<Placement> result{{"one CPU", cpus[0], cpus[0]}};
  if (cpus.size() > 1) result.push_back({"two CPUs", cpus[0], cpus[1]});
  return result;
}

// Pins the calling thread (and so the workers and threads it starts) to one
// CPU, and tells workers started from `program_folder` where to run; undone
// when it goes away.
class Pinned {
 public:
  Pinned(const Placement& placement, const fs::path& program_folder)
      : cpu_file_(program_folder / "cpu") {
    ::sched_getaffinity(0, sizeof before_, &before_);
    std::ofstream(cpu_file_) << placement.worker_cpu << "\n";
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(placement.bench_cpu, &set);
    if (::sched_setaffinity(0, sizeof set, &set) != 0)
      throw std::runtime_error("sched_setaffinity failed");
  }
  ~Pinned() {
    ::sched_setaffinity(0, sizeof before_, &before_);
    std::error_code ec;
    fs::remove(cpu_file_, ec);
  }
  Pinned(const Pinned&) = delete;
  Pinned& operator=(const Pinned&) = delete;

 private:
  fs::path cpu_file_;
  cpu_set_t before_;
};

std::string python3() {
  for (const char* p : {"/usr/local/bin/python3", "/usr/bin/python3", "/bin/python3"}) {
    if (::access(p, X_OK) == 0) return p;
  }
  return "";
}

}  // namespace

void plugin_section(Report& report, const Options& options) {
  const std::string section = "4 app plug-ins";
  const bool q = options.quick;
  ScratchDir dir(options, "plugins");
  for (const char* mode : {"one-shot", "persistent"}) {
    const fs::path app = dir.path() / (std::string("bench_") + mode);
    fs::create_directories(app / "main");
    std::ofstream(app / "app.json")
        << R"({"identification": "vqflow", "is_public": true, "mode": ")" << mode
        << R"(", "actions": {"ping": {}}})";
    fs::create_symlink(options.self, app / "main/run");
  }
  const std::string one_shot_program = (dir.path() / "bench_one-shot/main/run").string();
  const std::string persistent_program = (dir.path() / "bench_persistent/main/run").string();

  // The measurement, or absent with its failure reported under `name`.
  auto guarded = [&](const std::string& name, auto measure) -> std::optional<decltype(measure())> {
    try {
      return measure();
    } catch (const std::exception& e) {
      Figure f = info(section, name, 0, "us");
      f.failure = e.what();
      report.add(f);
      return std::nullopt;
    }
  };

  Config config;
  config.apps_path = dir.path().string();
  {
    auto loader = make_app_loader(config);
    // The bare pipe and the persistent call talk to the same worker binary,
    // started afresh for each round on both sides, from the same thread, with
    // the same placement of that thread and the worker: a round trip costs
    // ~4 µs on one CPU and ~60 µs across two of this VM, so unpinned rounds
    // would compare placements more than call paths.
    const fs::path worker_folder = fs::path(persistent_program).parent_path();
    bool first = true;
    for (const Placement& placement : placements()) {
      const std::string name = "persistent compiled call, " + placement.name;
      std::optional<double> pipe, persistent;
      if (auto medians = guarded(name, [&] {
            Pinned pinned(placement, worker_folder);
            return interleaved_medians(
                q ? 7 : 11, [&] { return pipe_round_trip_us(persistent_program, q ? 1000 : 2000); },
                [&] {
                  // A fresh loader, hence a fresh worker, each round, as the bare side has.
                  return loader_call_us(make_app_loader(config), "bench_persistent", "ping", {},
                                        q ? 1000 : 2000);
                });
          })) {
        std::tie(pipe, persistent) = *medians;
      }
      if (pipe) {
        report.add(
            info(section, "pipe round trip, bare compiled worker, " + placement.name, *pipe, "us"));
      }
      if (persistent) {
        report.add(judged(section, name, *persistent, "us", pipe, "pipe round trip",
                          Bound::ratio_at_most, 2));
      }
      if (first) {
        report.note(section,
                    "compiled calls and their bare counterparts: medians of rounds taken in turn");
        report.note(section,
                    "persistent calls and pipe round trips with the bench thread and the worker "
                    "pinned alike: both on one CPU, then on two different CPUs");
        first = false;
      }
    }
    std::optional<double> spawn, one_shot;
    if (auto medians = guarded("one-shot compiled call", [&] {
          return interleaved_medians(
              q ? 5 : 9,
              [&] {
                return spawn_us({one_shot_program, "ping"}, "{}", q ? 40 : 50);
              },
              [&] { return loader_call_us(loader, "bench_one-shot", "ping", {}, q ? 40 : 50); });
        })) {
      std::tie(spawn, one_shot) = *medians;
    }
    if (spawn) report.add(info(section, "posix_spawn + wait, same compiled binary", *spawn, "us"));
    if (one_shot) {
      report.add(judged(section, "one-shot compiled call", *one_shot, "us", spawn,
                        "posix_spawn + wait", Bound::ratio_at_most, 1.1));
    }
  }

  const std::string python = python3();
  if (python.empty()) {
    report.note(section, "no python3 under /usr/local/bin, /usr/bin or /bin: Python rows skipped");
    return;
  }
  Config examples;
  examples.apps_path = std::string(VQFLOW_SOURCE_DIR) + "/examples/apps";
  auto loader = make_app_loader(examples);
  auto bare = guarded("python3 -c pass", [&] {
    return spawn_us({python, "-c", "pass"}, "", q ? 10 : 30);
  });
  auto one_shot = guarded("one-shot Python call", [&] {
    return loader_call_us(loader, "ip_classifier", "classify", {{"ip", "10.1.2.3"}}, q ? 10 : 30);
  });
  auto persistent = guarded("persistent Python call", [&] {
    return loader_call_us(loader, "text_toolkit", "upper", {{"text", "alpha"}}, q ? 200 : 1000);
  });
  if (bare) report.add(info(section, "python3 -c pass, spawn + wait", *bare, "us"));
  if (one_shot) {
    report.add(judged(section, "one-shot Python call (ip_classifier)", *one_shot, "us", bare,
                      "python3 -c pass", Bound::none, 0));
  }
  if (persistent) {
    report.add(judged(section, "persistent Python call (text_toolkit)", *persistent, "us", bare,
                      "python3 -c pass", Bound::none, 0));
  }
  report.note(section, "Python apps from examples/apps, python3 " + python);
}

}  // namespace vqflow::bench
