// Queue mode with real processes on one Redis and PostgreSQL: one
// `vqflow serve --queue --no-worker` and first one, then two `vqflow worker`
// processes. 8 kept-alive connections post runs of the 10-node playbook; the
// bench follows the runs' live channels itself, so a run's latency is from its
// request to its run_closed message (sent after the end record is stored).
// CPU per run is each process's user + system time (/proc/PID/stat) over the
// runs closed in that phase.
#include <fmt/format.h>
#include <libpq-fe.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "http_client.h"
#include "macro.h"
#include "stores/redis_link.h"

extern char** environ;

namespace vqflow::bench {

namespace {

// A child process whose output is read line by line until it says `ready`.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& ready) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int failed = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (failed != 0) throw std::runtime_error("cannot start " + argv[0]);
    out_ = ::fdopen(fds[0], "r");
    char line[4096];
    while (std::fgets(line, sizeof line, out_)) {
      if (std::string(line).find(ready) != std::string::npos) {
        ready_line_ = line;
        break;
      }
    }
    if (ready_line_.empty()) throw std::runtime_error(argv[0] + " did not start");
    // The rest of its output is drained so that it never blocks on the pipe.
    drain_ = std::thread([f = out_] {
      char rest[4096];
      while (std::fgets(rest, sizeof rest, f)) {
      }
    });
  }
  ~Process() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    drain_.join();
    std::fclose(out_);
  }
  int pid() const { return pid_; }
  const std::string& ready_line() const { return ready_line_; }

  // User + system CPU seconds so far.
  double cpu_seconds() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;  // state .. cmajflt
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
  }

 private:
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
  std::string ready_line_;
  std::thread drain_;
};

// When each run's run_closed message came, from the runs' live channels.
class ClosedRuns {
 public:
  explicit ClosedRuns(const std::string& url)
      : link_(url, std::chrono::milliseconds(0)), reader_([this] { read(); }) {}
  ~ClosedRuns() {
    link_.interrupt();
    reader_.join();
  }
  void start() { link_ready_.wait(false); }
  std::map<std::string, double> closed() {
    std::lock_guard lock(mutex_);
    return closed_;
  }
  std::size_t count() {
    std::lock_guard lock(mutex_);
    return closed_.size();
  }

 private:
  void read() {
    try {
      link_.command({"PSUBSCRIBE", "vqflow:live:*"});
      link_ready_ = true;
      link_ready_.notify_all();
      for (;;) {
        RedisReply m = link_.next_reply();
        if (m->type != REDIS_REPLY_ARRAY || m->elements != 4) continue;
        const std::string text(m->element[3]->str, m->element[3]->len);
        if (text.find("\"run_closed\"") == std::string::npos) continue;
        const std::string channel(m->element[2]->str, m->element[2]->len);
        std::lock_guard lock(mutex_);
        closed_.emplace(channel.substr(channel.rfind(':') + 1), now_seconds());
      }
    } catch (const std::exception&) {
      link_ready_ = true;  // interrupted, or Redis went away
      link_ready_.notify_all();
    }
  }
  RedisLink link_;
  std::atomic<bool> link_ready_{false};
  std::mutex mutex_;
  std::map<std::string, double> closed_;
  std::thread reader_;
};

struct Phase {
  long posted = 0;
  long refused = 0;
  double runs_per_s = 0;
  double p99_ms = 0;
  double median_ms = 0;
  std::vector<double> cpu_us_per_run;  // API, then each worker
  std::string failure;
};

Phase drive(unsigned short port, ClosedRuns& closed, const std::vector<const Process*>& processes,
            double seconds) {
  std::vector<double> cpu_before;
  for (const Process* p : processes) cpu_before.push_back(p->cpu_seconds());
  constexpr int k_clients = 8;
  std::mutex mutex;
  std::map<std::string, double> requested;
  Phase out;
  std::atomic<long> posted{0}, refused{0};
  const double start = now_seconds();
  const double end = start + seconds;
  std::vector<std::thread> clients;
  for (int c = 0; c < k_clients; ++c) {
    clients.emplace_back([&] {
      try {
        HttpClient client(port);
        std::string answer;
        while (now_seconds() < end) {
          const double t0 = now_seconds();
          const int status = client.post("/api/runs", R"({"uuid": "bench-10"})", &answer);
          if (status != 202) {
            ++refused;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
          }
          ++posted;
          std::lock_guard lock(mutex);
          requested[parse_json(answer)["only_id"].get<std::string>()] = t0;
        }
      } catch (const std::exception& e) {
        std::lock_guard lock(mutex);
        out.failure = e.what();
      }
    });
  }
  for (auto& t : clients) t.join();
  // Every accepted run closes; counted until the last one did.
  const double deadline = now_seconds() + 120;
  auto all_closed = [&] {
    auto done = closed.closed();
    for (const auto& [id, t0] : requested) {
      if (!done.count(id)) return false;
    }
    return true;
  };
  while (!all_closed()) {
    if (now_seconds() > deadline) {
      out.failure = "runs still open 120 s after the last request";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  auto done = closed.closed();
  std::vector<double> latencies;
  double last = start;
  for (const auto& [id, t0] : requested) {
    auto it = done.find(id);
    if (it == done.end()) continue;
    latencies.push_back((it->second - t0) * 1e3);
    last = std::max(last, it->second);
  }
  out.posted = posted;
  out.refused = refused;
  out.runs_per_s = static_cast<double>(latencies.size()) / (last - start);
  out.p99_ms = percentile(latencies, 0.99);
  out.median_ms = percentile(latencies, 0.5);
  for (std::size_t i = 0; i < processes.size(); ++i) {
    const double used = processes[i]->cpu_seconds() - cpu_before[i];
    out.cpu_us_per_run.push_back(latencies.empty() ? 0 : used * 1e6 / latencies.size());
  }
  return out;
}

void drop_schema(const std::string& base, const std::string& schema) {
  PGconn* conn = PQconnectdb(base.substr(0, base.find('?')).c_str());
  if (PQstatus(conn) == CONNECTION_OK) {
    PQclear(PQexec(conn, "SET client_min_messages = warning"));
    PQclear(PQexec(conn, fmt::format("DROP SCHEMA IF EXISTS \"{}\" CASCADE", schema).c_str()));
  }
  PQfinish(conn);
}

}  // namespace

void queue_section(Report& report, const Options& options) {
  const std::string section = "8 queue mode (1 API server, 1 then 2 workers)";
  if (!options.redis_url || !options.pg_url) {
    report.note(section,
                "skipped: give --redis URL --pg URL (or VQFLOW_BENCH_KV / VQFLOW_BENCH_DB)");
    return;
  }
  const std::string schema = fmt::format("vqflow_bench_queue_{}", ::getpid());
  const std::string& base = *options.pg_url;
  const std::string db_url =
      base + (base.find('?') == std::string::npos ? "?" : "&") + "schema=" + schema;
  struct Drop {
    std::string base, schema;
    ~Drop() { drop_schema(base, schema); }
  } drop{base, schema};
  ScratchDir dir(options, "queue");
  std::filesystem::create_directories(dir.path() / "apps");
  {
    LoopThread loop;
    open_bench_services(db_url, *options.redis_url, dir.file("apps"), loop.ioc().get_executor(),
                        ten_node_playbook("bench-10"));
  }
  RedisLink(*options.redis_url, std::chrono::seconds(5)).command({"DEL", "vqflow:runs"});
  const std::vector<std::string> globals = {VQFLOW_BINARY,      "--db",   db_url,          "--kv",
                                            *options.redis_url, "--apps", dir.file("apps")};
  auto with = [&](std::vector<std::string> rest) {
    std::vector<std::string> argv = globals;
    argv.insert(argv.end(), rest.begin(), rest.end());
    return argv;
  };
  Process api(with({"serve", "--queue", "--no-worker", "--no-timers", "--listen", "127.0.0.1:0"}),
              "listening on 127.0.0.1:");
  const std::string& line = api.ready_line();
  const std::string at = "listening on 127.0.0.1:";
  const auto port = static_cast<unsigned short>(std::stoi(line.substr(line.find(at) + at.size())));
  ClosedRuns closed(*options.redis_url);
  closed.start();
  const double seconds = options.quick ? 2 : 10;

  std::vector<std::unique_ptr<Process>> workers;
  for (int count = 1; count <= 2; ++count) {
    workers.push_back(std::make_unique<Process>(with({"worker"}), "taking queued runs as"));
    std::vector<const Process*> processes = {&api};
    for (const auto& w : workers) processes.push_back(w.get());
    drive(port, closed, processes, options.quick ? 0.5 : 1);  // warm-up
    Phase phase = drive(port, closed, processes, seconds);
    const std::string label = fmt::format("{} worker{}", count, count > 1 ? "s" : "");
    Figure rate = info(section, label + ": runs/s, counted until every run closed",
                       phase.runs_per_s, "runs/s");
    if (!phase.failure.empty()) rate.failure = phase.failure;
    report.add(rate);
    report.add(info(section, label + ": p99 request to end record", phase.p99_ms, "ms"));
    report.add(info(section, label + ": median request to end record", phase.median_ms, "ms"));
    report.add(info(section, label + ": API server CPU per run", phase.cpu_us_per_run[0], "us"));
    for (std::size_t w = 1; w < phase.cpu_us_per_run.size(); ++w) {
      report.add(info(section, fmt::format("{}: worker {} CPU per run", label, w),
                      phase.cpu_us_per_run[w], "us"));
    }
    report.note(section, fmt::format("{}: {} runs answered 202, {} refused", label, phase.posted,
                                     phase.refused));
  }
}

}  // namespace vqflow::bench
