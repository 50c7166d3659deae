// Runs per second through the HTTP run API: POST /api/runs for a 10-node
// playbook (start, eight built-in no-op app nodes, end), counted until every
// submitted run has closed. The server runs on its own loop thread as in
// `vqflow serve`; the client keeps one connection alive.
//
// Stores: a SQLite file and the in-process key-value store by default;
// VQFLOW_BENCH_DB / VQFLOW_BENCH_KV select others (e.g. PostgreSQL and Redis).
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <spdlog/spdlog.h>

#include "platform/database.h"
#include "platform/services.h"
#include "server/api.h"
#include "server/json_rpc.h"
#include "server/server.h"
#include "value/value.h"

namespace vqflow {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

Row ten_node_playbook(const std::string& uuid) {
  Value cells = Value::array();
  Value flow_data = Value::object();
  std::vector<std::string> ids = {"S"};
  for (int i = 1; i <= 8; ++i) ids.push_back("n" + std::to_string(i));
  ids.push_back("E");
  for (const auto& id : ids) cells.push_back({{"shape", "html"}, {"id", id}, {"data", {{"name", id}}}});
  for (std::size_t i = 0; i + 1 < ids.size(); ++i) {
    cells.push_back(
        {{"shape", "vqEdge"}, {"source", {{"cell", ids[i]}}}, {"target", {{"cell", ids[i + 1]}}}});
  }
  for (int i = 1; i <= 8; ++i) {
    const std::string id = "n" + std::to_string(i);
    flow_data[id] = {{"app_dir", "vq_noop"}, {"data", {{"node_name", id}, {"action", "run"}}}};
  }
  return {{"uuid", uuid},           {"name", "bench"},          {"remarks", ""},
          {"start_app", "S"},       {"end_app", "E"},           {"for_list", ""},
          {"if_list", ""},          {"audit_list", ""},         {"flow_json", json_text(Value{{"cells", cells}})},
          {"flow_data", json_text(flow_data)}, {"controller_data", "{}"}, {"local_var_data", "[]"},
          {"status", 0}};
}

// A blocking HTTP/1.1 client on one kept-alive connection.
class Client {
 public:
  explicit Client(unsigned short port) : socket_(ioc_) {
    socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    socket_.set_option(tcp::no_delay(true));
  }
  // Answers the status code.
  int post(const std::string& target, const std::string& body) {
    const std::string request = "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    net::write(socket_, net::buffer(request));
    const std::size_t header_end = net::read_until(socket_, buffer_, "\r\n\r\n");
    std::string header(net::buffers_begin(buffer_.data()),
                       net::buffers_begin(buffer_.data()) + static_cast<long>(header_end));
    buffer_.consume(header_end);
    const int status = std::stoi(header.substr(9, 3));
    const std::string key = "Content-Length: ";
    const auto at = header.find(key);
    const std::size_t length = at == std::string::npos ? 0 : std::stoul(header.substr(at + key.size()));
    if (buffer_.size() < length) net::read(socket_, buffer_, net::transfer_exactly(length - buffer_.size()));
    buffer_.consume(length);
    return status;
  }

 private:
  net::io_context ioc_;
  tcp::socket socket_;
  net::streambuf buffer_;
};

struct Host {
  std::filesystem::path dir;
  net::io_context ioc;
  std::shared_ptr<Services> services;
  RpcRegistry rpc;
  std::unique_ptr<Api> api;
  std::unique_ptr<Server> server;
  std::thread thread;

  Host() {
    spdlog::set_level(spdlog::level::err);  // one process log line per record otherwise
    dir = std::filesystem::temp_directory_path() / "vqflow_http_bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "apps");
    Config config;
    const char* db = std::getenv("VQFLOW_BENCH_DB");
    const char* kv = std::getenv("VQFLOW_BENCH_KV");
    config.db_url = db ? db : (dir / "bench.db").string();
    config.kv_url = kv ? kv : "memory://";
    config.apps_path = (dir / "apps").string();
    services = open_services(config, ioc.get_executor());
    services->db->init_schema();
    services->db->table("workflow").where("uuid", "bench-10").remove();
    services->db->table("workflow").insert(ten_node_playbook("bench-10"));
    add_ping_method(rpc);
    api = std::make_unique<Api>(services, &rpc, engine_run_starter(services), ApiOptions{});
    ServerOptions options;
    options.listen = {"127.0.0.1", 0};
    server = std::make_unique<Server>(ioc, *api, options);
    server->start();
    thread = std::thread([this] { ioc.run(); });
  }
  ~Host() {
    net::post(ioc, [this] { server->close_all(); });
    ioc.stop();
    thread.join();
    std::filesystem::remove_all(dir);
  }
  void wait_for_runs() {
    while (api->tracker()->in_progress() > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
};

Host& host() {
  static Host instance;
  return instance;
}

// Submit a batch of runs back to back, then wait until all of them closed;
// runs/s over the whole time. Batch 1 is the latency of one run.
void BM_RunsThroughHttp(benchmark::State& state) {
  Host& h = host();
  Client client(h.server->port());
  const std::string body = R"({"uuid": "bench-10"})";
  const auto batch = state.range(0);
  for (auto _ : state) {
    for (long i = 0; i < batch; ++i) {
      if (client.post("/api/runs", body) != 202) throw std::runtime_error("run refused");
    }
    h.wait_for_runs();
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.counters["runs/s"] = benchmark::Counter(static_cast<double>(state.iterations() * batch),
                                                benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RunsThroughHttp)->Arg(1)->Arg(16)->Arg(64)->UseRealTime()->Unit(benchmark::kMillisecond);

// The transport alone: a JSON-RPC ping over the kept-alive connection.
void BM_RpcPing(benchmark::State& state) {
  Host& h = host();
  Client client(h.server->port());
  const std::string body = R"({"jsonrpc": "2.0", "method": "ping", "id": 1})";
  for (auto _ : state) {
    if (client.post("/rpc", body) != 200) throw std::runtime_error("ping failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RpcPing)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vqflow
