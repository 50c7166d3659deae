// Runs through the real HTTP server as `vqflow serve` runs it (requests on one
// loop thread, runs on another, embedded default stores, the default bound on
// runs in progress): 8 kept-alive client connections posting POST /api/runs,
// counted until every run has closed. A client waits for room under the bound
// before it posts (that wait is not request latency); a 503 all the same is
// retried after 1 ms and counted apart. The peer engine is driven the same
// way (same client, same connections, same time) right after.
#include <fmt/format.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>

#include "http_client.h"
#include "macro.h"
#include "rpc/rpc_registry.h"
#include "server/api.h"
#include "server/server.h"

namespace vqflow::bench {

void http_section(Report& report, const Options& options) {
  const std::string section = "7 HTTP (POST /api/runs, 8 connections)";
  ScratchDir dir(options, "http");
  std::filesystem::create_directories(dir.path() / "apps");

  // Declared first, destroyed last: runs left on the run loop hold connections.
  net::io_context http_ioc(1);
  net::io_context run_ioc(1);
  auto services = open_bench_services(dir.file("vqflow.db"), "", dir.file("apps"),
                                      run_ioc.get_executor(), ten_node_playbook("bench-10"));
  RpcRegistry rpc;
  ApiOptions api_options;
  api_options.rpc_executor = run_ioc.get_executor();
  Api api(services, &rpc, engine_run_starter(services), api_options);
  ServerOptions server_options;
  server_options.listen = {"127.0.0.1", 0};
  Server server(http_ioc, api, server_options);
  server.start();
  auto http_guard = net::make_work_guard(http_ioc);
  auto run_guard = net::make_work_guard(run_ioc);
  std::thread http_loop([&http_ioc] { http_ioc.run(); });
  std::thread run_loop([&run_ioc] { run_ioc.run(); });
  struct Stop {
    net::io_context& http_ioc;
    net::io_context& run_ioc;
    Server& server;
    std::thread& http_loop;
    std::thread& run_loop;
    ~Stop() {
      net::post(http_ioc, [this] { server.close_all(); });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      http_ioc.stop();
      run_ioc.stop();
      http_loop.join();
      run_loop.join();
    }
  } stop{http_ioc, run_ioc, server, http_loop, run_loop};

  auto wait_for_runs = [&](double timeout) {
    const double deadline = now_seconds() + timeout;
    while (api.tracker()->in_progress() > 0) {
      if (now_seconds() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  };

  const std::string body = R"({"uuid": "bench-10"})";
  constexpr int k_clients = 8;
  const std::size_t max_runs = api.options().max_runs;
  std::atomic<long> refused{0};
  auto drive = [&](double seconds,
                   std::vector<double>* latencies_ms) -> std::pair<long, std::string> {
    std::atomic<long> posted{0};
    std::mutex mutex;
    std::string failure;
    const double end = now_seconds() + seconds;
    std::vector<std::thread> clients;
    std::vector<std::vector<double>> per_client(k_clients);
    for (int c = 0; c < k_clients; ++c) {
      clients.emplace_back([&, c] {
        try {
          HttpClient client(server.port());
          per_client[c].reserve(20000);
          while (now_seconds() < end) {
            // Room for every client at once, so that none is refused. The
            // runs queued meanwhile keep the run loop busy for far longer
            // than this wait, whose polling must not take CPU from the loops.
            if (api.tracker()->in_progress() + k_clients > max_runs) {
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
              continue;
            }
            const double t0 = now_seconds();
            const int status = client.post("/api/runs", body);
            per_client[c].push_back((now_seconds() - t0) * 1e3);
            if (status == 503) {
              ++refused;
              std::this_thread::sleep_for(std::chrono::milliseconds(1));
              continue;
            }
            if (status != 202)
              throw std::runtime_error(fmt::format("POST /api/runs answered {}", status));
            ++posted;
          }
        } catch (const std::exception& e) {
          std::lock_guard lock(mutex);
          failure = e.what();
        }
      });
    }
    for (auto& t : clients) t.join();
    if (latencies_ms) {
      for (auto& v : per_client) latencies_ms->insert(latencies_ms->end(), v.begin(), v.end());
    }
    return {posted.load(), failure};
  };

  drive(options.quick ? 0.5 : 1, nullptr);  // warm-up
  if (!wait_for_runs(60)) throw std::runtime_error("warm-up runs did not close within 60 s");

  refused = 0;
  std::vector<double> latencies;
  const double start = now_seconds();
  const double cpu_start = loop_thread_cpu_seconds(run_ioc);
  auto [posted, failure] = drive(options.quick ? 3 : 10, &latencies);
  const bool closed = wait_for_runs(120);
  const double elapsed = now_seconds() - start;
  const double run_cpu = loop_thread_cpu_seconds(run_ioc) - cpu_start;

  std::optional<PeerHttp> peer;
  std::string peer_failure;
  if (options.peer_url) {
    try {
      peer = peer_http(*options.peer_url, options.quick ? 3 : 10, k_clients);
    } catch (const std::exception& e) {
      peer_failure = e.what();
    }
  }
  const double runs_per_s = static_cast<double>(posted) / elapsed;
  Figure rate =
      peer ? judged(section, "runs/s, counted until every run closed", runs_per_s, "runs/s",
                    peer->requests_per_s, "peer req/s, measured now", Bound::ratio_at_least, 3.0)
           : info(section, "runs/s, counted until every run closed", runs_per_s, "runs/s");
  if (!failure.empty()) rate.failure = failure;
  if (!closed) rate.failure = "runs still open 120 s after the last request";
  report.add(rate);
  report.add(judged(section, "p99 request latency", percentile(latencies, 0.99), "ms", std::nullopt,
                    "", Bound::value_at_most, 5));
  report.add(info(section, "median request latency", percentile(latencies, 0.5), "ms"));
  if (peer) {
    report.add(
        info(section, "peer req/s (same client, 8 connections)", peer->requests_per_s, "req/s"));
    report.add(info(section, "peer p99 request latency", peer->p99_ms, "ms"));
  } else {
    report.note(section, "no ratio: " + (peer_failure.empty() ? peer_missing(options)
                                                              : "peer failed: " + peer_failure));
  }
  if (posted > 0) {
    report.add(info(section, "run loop thread CPU per run",
                    run_cpu * 1e6 / static_cast<double>(posted), "us"));
  }
  report.note(section, fmt::format("{} runs posted (at most {} in progress; {} answered 503); "
                                   "last run closed {:.2f} s after the first request",
                                   posted, max_runs, refused.load(), elapsed));
}

}  // namespace vqflow::bench
