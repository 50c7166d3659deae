// Runs through the real HTTP server as `vqflow serve` runs it (requests on one
// loop thread, runs on another, embedded default stores, the default bound on
// runs in progress): 8 kept-alive client connections posting POST /api/runs,
// counted until every run has closed. A client waits for room under the bound
// before it posts (that wait is not request latency); a 503 all the same is
// retried after 1 ms and counted apart.
#include <fmt/format.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include "macro.h"
#include "rpc/rpc_registry.h"
#include "server/api.h"
#include "server/server.h"

namespace vqflow::bench {

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// A blocking HTTP/1.1 client on one kept-alive connection; reads and writes
// give up after 10 s so that a stuck server cannot hang the bench.
class Client {
 public:
  explicit Client(unsigned short port) : socket_(ioc_) {
    socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    socket_.set_option(tcp::no_delay(true));
    timeval timeout{10, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  // Answers the status code; throws on a broken or timed-out connection.
  int post(const std::string& target, const std::string& body) {
    const std::string request =
        "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    net::write(socket_, net::buffer(request));
    const std::size_t header_end = net::read_until(socket_, buffer_, "\r\n\r\n");
    std::string header(net::buffers_begin(buffer_.data()),
                       net::buffers_begin(buffer_.data()) + static_cast<long>(header_end));
    buffer_.consume(header_end);
    if (header.size() < 12) throw std::runtime_error("short status line");
    const int status = std::stoi(header.substr(9, 3));
    std::string lower = header;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string key = "content-length: ";
    const auto at = lower.find(key);
    const std::size_t length =
        at == std::string::npos ? 0 : std::stoul(header.substr(at + key.size()));
    if (buffer_.size() < length)
      net::read(socket_, buffer_, net::transfer_exactly(length - buffer_.size()));
    buffer_.consume(length);
    return status;
  }

 private:
  net::io_context ioc_;
  tcp::socket socket_;
  net::streambuf buffer_;
};

}  // namespace

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
          Client client(server.port());
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

  Figure rate =
      judged(section, "runs/s, counted until every run closed",
             static_cast<double>(posted) / elapsed, "runs/s", 2 * k_peer_http_requests_per_s,
             "2 x peer engine req/s (fixed)", Bound::ratio_at_least, 1.0);
  if (!failure.empty()) rate.failure = failure;
  if (!closed) rate.failure = "runs still open 120 s after the last request";
  report.add(rate);
  report.add(judged(section, "p99 request latency", percentile(latencies, 0.99), "ms", std::nullopt,
                    "", Bound::value_at_most, 5));
  report.add(info(section, "median request latency", percentile(latencies, 0.5), "ms"));
  if (posted > 0) {
    report.add(info(section, "run loop thread CPU per run",
                    run_cpu * 1e6 / static_cast<double>(posted), "us"));
  }
  report.note(section, fmt::format("{} runs posted (at most {} in progress; {} answered 503); "
                                   "last run closed {:.2f} s after the first request",
                                   posted, max_runs, refused.load(), elapsed));
}

}  // namespace vqflow::bench
