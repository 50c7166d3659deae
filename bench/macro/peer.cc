// The peer flow engine, measured in the same run as vqflow: scripts/bench.sh
// starts it with bench/peer/flow.json (two chains of 10 function nodes, one
// behind POST /chain, one fed by the internal burst of POST /burst?n=N).
#include <fmt/format.h>

#include <atomic>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "http_client.h"
#include "macro.h"

namespace vqflow::bench {

namespace {

// The port of "http://127.0.0.1:PORT"; only loopback peers are measured.
unsigned short peer_port(const std::string& url) {
  const std::string prefix = "http://127.0.0.1:";
  if (url.rfind(prefix, 0) != 0)
    throw std::runtime_error("peer URL must be http://127.0.0.1:PORT, got " + url);
  const int port = std::stoi(url.substr(prefix.size()));
  if (port <= 0 || port > 65535) throw std::runtime_error("peer URL has no valid port: " + url);
  return static_cast<unsigned short>(port);
}

}  // namespace

double peer_burst_runs_per_s(const std::string& url, long runs) {
  HttpClient client(peer_port(url));
  std::string answer;
  // Warm-up: the peer compiles its function nodes on first use.
  if (client.post("/burst?n=1000", "{}", &answer) != 200)
    throw std::runtime_error("peer POST /burst answered " + answer);
  const int status = client.post(fmt::format("/burst?n={}", runs), "{}", &answer);
  if (status != 200) throw std::runtime_error(fmt::format("peer POST /burst answered {}", status));
  const auto figures = nlohmann::json::parse(answer);
  const double seconds = figures.at("seconds").get<double>();
  if (figures.at("runs").get<long>() != runs || seconds <= 0)
    throw std::runtime_error("peer burst answered " + answer);
  return static_cast<double>(runs) / seconds;
}

PeerHttp peer_http(const std::string& url, double seconds, int connections) {
  const unsigned short port = peer_port(url);
  auto drive = [&](double for_seconds, std::vector<double>* latencies_ms) {
    std::atomic<long> answered{0};
    std::mutex mutex;
    std::string failure;
    const double end = now_seconds() + for_seconds;
    std::vector<std::vector<double>> per_client(static_cast<std::size_t>(connections));
    std::vector<std::thread> clients;
    for (int c = 0; c < connections; ++c) {
      clients.emplace_back([&, c] {
        try {
          HttpClient client(port);
          while (now_seconds() < end) {
            const double t0 = now_seconds();
            const int status = client.post("/chain", R"({"uuid": "bench-10"})");
            per_client[static_cast<std::size_t>(c)].push_back((now_seconds() - t0) * 1e3);
            if (status != 200)
              throw std::runtime_error(fmt::format("peer POST /chain answered {}", status));
            ++answered;
          }
        } catch (const std::exception& e) {
          std::lock_guard lock(mutex);
          failure = e.what();
        }
      });
    }
    for (auto& t : clients) t.join();
    if (!failure.empty()) throw std::runtime_error(failure);
    if (latencies_ms) {
      for (auto& v : per_client) latencies_ms->insert(latencies_ms->end(), v.begin(), v.end());
    }
    return answered.load();
  };
  drive(std::min(1.0, seconds / 3), nullptr);  // warm-up
  std::vector<double> latencies;
  const double start = now_seconds();
  const long answered = drive(seconds, &latencies);
  PeerHttp out;
  out.requests_per_s = static_cast<double>(answered) / (now_seconds() - start);
  out.p99_ms = percentile(latencies, 0.99);
  return out;
}

std::string peer_missing(const Options& options) {
  if (options.peer_missing) return "the peer was not set up: " + *options.peer_missing;
  return "no peer measured (scripts/bench.sh sets it up; or give --peer URL)";
}

}  // namespace vqflow::bench
