// End-to-end tests of the transport: a real server on a free loopback port on
// its own loop thread, runs (fake or real) on another loop thread as in
// `vqflow serve`, and real HTTP/WebSocket clients.
#include "server/server.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "fake_run_starter.h"
#include "rpc/json_rpc.h"
#include "server/graceful_stop.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/cli_runner.h"
#include "support/echo_playbook.h"
#include "support/processes.h"
#include "support/test_support.h"
#include "value/value.h"

// g++ 12 misreads Asio 1.18's coroutine frame allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

extern char** environ;

namespace vqflow {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using Headers = std::map<std::string, std::string>;

// ---- clients -------------------------------------------------------------

// Runs a client coroutine on a private loop; fails the test instead of
// hanging when the server never answers.
template <typename T>
T run_client(net::awaitable<T> task, std::chrono::seconds limit = std::chrono::seconds(20)) {
  net::io_context ioc;
  auto future = net::co_spawn(ioc, std::move(task), net::use_future);
  ioc.run_for(limit);
  if (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
    throw std::runtime_error("client timed out");
  }
  return future.get();
}

struct HttpResult {
  int status = 0;  // 0: the connection closed without an answer
  std::string body;
  Headers headers;
  Value json() const { return parse_json(body); }
};

net::awaitable<HttpResult> http_call(unsigned short port, std::string method, std::string target,
                                     std::string body, Headers headers) {
  auto executor = co_await net::this_coro::executor;
  beast::tcp_stream stream(executor);
  co_await stream.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                                net::use_awaitable);
  http::request<http::string_body> req{http::string_to_verb(method), target, 11};
  req.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  for (const auto& [name, value] : headers) req.set(name, value);
  req.body() = body;
  req.prepare_payload();
  co_await http::async_write(stream, req, net::use_awaitable);
  beast::flat_buffer buffer;
  http::response<http::string_body> res;
  beast::error_code ec;
  co_await http::async_read(stream, buffer, res, net::redirect_error(net::use_awaitable, ec));
  HttpResult out;
  if (ec) co_return out;
  out.status = static_cast<int>(res.result_int());
  out.body = res.body();
  for (const auto& field : res) {
    out.headers[std::string(field.name_string())] = std::string(field.value());
  }
  co_return out;
}

HttpResult http_request(unsigned short port, const std::string& method, const std::string& target,
                        const std::string& body = "", const Headers& headers = {}) {
  return run_client(http_call(port, method, target, body, headers));
}

// Writes raw bytes and reads until the server closes; answers what it sent.
net::awaitable<std::string> raw_exchange(unsigned short port, std::string bytes) {
  auto executor = co_await net::this_coro::executor;
  tcp::socket socket(executor);
  co_await socket.async_connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port),
                                net::use_awaitable);
  beast::error_code ec;
  if (!bytes.empty()) {
    co_await net::async_write(socket, net::buffer(bytes),
                              net::redirect_error(net::use_awaitable, ec));
  }
  std::string received;
  char chunk[4096];
  for (;;) {
    std::size_t n = co_await socket.async_read_some(net::buffer(chunk),
                                                    net::redirect_error(net::use_awaitable, ec));
    received.append(chunk, n);
    if (ec) break;
  }
  co_return received;
}

struct WsResult {
  int refused_status = 0;  // the HTTP status when the upgrade was refused
  std::vector<std::string> messages;
  bool closed_by_server = false;
};

// Connects to /api/ws, sends each of `requests`, then reads until `enough`
// messages arrived, or one holding `until`, or the server closes; then leaves.
net::awaitable<WsResult> ws_call(unsigned short port, Headers headers,
                                 std::vector<std::string> requests, std::size_t enough,
                                 std::string until) {
  auto executor = co_await net::this_coro::executor;
  websocket::stream<beast::tcp_stream> ws(executor);
  co_await beast::get_lowest_layer(ws).async_connect(
      tcp::endpoint(net::ip::make_address("127.0.0.1"), port), net::use_awaitable);
  ws.set_option(websocket::stream_base::decorator([headers](websocket::request_type& req) {
    for (const auto& [name, value] : headers) req.set(name, value);
  }));
  WsResult out;
  websocket::response_type refusal;
  beast::error_code ec;
  co_await ws.async_handshake(refusal, "127.0.0.1:" + std::to_string(port), "/api/ws",
                              net::redirect_error(net::use_awaitable, ec));
  if (ec) {
    out.refused_status = static_cast<int>(refusal.result_int());
    co_return out;
  }
  for (const auto& text : requests) co_await ws.async_write(net::buffer(text), net::use_awaitable);
  while (out.messages.size() < enough) {
    beast::flat_buffer buffer;
    co_await ws.async_read(buffer, net::redirect_error(net::use_awaitable, ec));
    if (ec) {
      out.closed_by_server = true;
      co_return out;
    }
    out.messages.push_back(beast::buffers_to_string(buffer.data()));
    if (!until.empty() && out.messages.back().find(until) != std::string::npos) break;
  }
  co_await ws.async_close(websocket::close_code::normal,
                          net::redirect_error(net::use_awaitable, ec));
  co_return out;
}

WsResult ws_session(unsigned short port, const Headers& headers,
                    const std::vector<std::string>& requests, std::size_t enough,
                    const std::string& until = "") {
  return run_client(ws_call(port, headers, requests, enough, until));
}

// ---- loops -----------------------------------------------------------------

// Runs `fn` on `ioc`'s thread and waits for its result.
template <typename Fn>
auto on_loop_of(net::io_context& ioc, Fn fn) {
  std::packaged_task<decltype(fn())()> task(std::move(fn));
  auto future = task.get_future();
  net::post(ioc, [&task] { task(); });
  return future.get();
}

net::awaitable<void> close_and_wait(Server* server) {
  server->close_all();
  std::function<bool()> closed = [server] { return server->connections() == 0; };
  co_await wait_until(closed, std::chrono::seconds(2));
}

// Closes every connection on the server's loop and waits (a while at most)
// until they are gone, so that clients get their close frames; then stops
// both loops and joins their threads.
void stop_loops(net::io_context& ioc, Server& server, net::io_context& run_ioc, std::thread& thread,
                std::thread& run_thread) {
  net::co_spawn(ioc, close_and_wait(&server), net::use_future).wait();
  ioc.stop();
  run_ioc.stop();
  thread.join();
  run_thread.join();
}

// Counts what is handed to a loop, so that a test can wait until work is
// queued there without running it.
struct Handoffs {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;

  void note() {
    {
      std::lock_guard lock(mutex);
      ++count;
    }
    changed.notify_all();
  }
  bool wait_for(int n, std::chrono::seconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return count >= n; });
  }
};

// An executor of `inner`'s loop that notes every piece of work handed to it.
class WatchedExecutor {
 public:
  WatchedExecutor(net::io_context::executor_type inner, std::shared_ptr<Handoffs> handoffs)
      : inner_(inner), handoffs_(std::move(handoffs)) {}

  net::execution_context& query(net::execution::context_t) const noexcept {
    return inner_.context();
  }
  static constexpr net::execution::blocking_t query(net::execution::blocking_t) noexcept {
    return net::execution::blocking.never;
  }
  WatchedExecutor require(net::execution::blocking_t::never_t) const { return *this; }

  template <typename F>
  void execute(F&& f) const {
    net::execution::execute(net::require(inner_, net::execution::blocking.never),
                            std::forward<F>(f));
    handoffs_->note();
  }

  bool operator==(const WatchedExecutor& other) const noexcept {
    return inner_ == other.inner_ && handoffs_ == other.handoffs_;
  }
  bool operator!=(const WatchedExecutor& other) const noexcept { return !(*this == other); }

 private:
  net::io_context::executor_type inner_;
  std::shared_ptr<Handoffs> handoffs_;
};

// ---- server fixture --------------------------------------------------------

// The server on ioc_ (its thread), the fake runs and the remote methods on
// run_ioc_ (another thread).
class ServerTest : public ::testing::Test {
 protected:
  void start(ApiOptions api_options = {}, ServerOptions server_options = {}) {
    services_ = test::make_test_services(dir_);
    // The playbooks the requests name: runs of others are refused before the starter.
    for (const char* uuid : {"wf", "wf-1", "wf-held", "pb"}) {
      services_->db->table("workflow").insert(Value{{"uuid", uuid}, {"status", 0}});
    }
    add_ping_method(rpc_);
    rpc_.add("on_run_loop", [this](const Value&) -> Value {
      ++rpc_calls_;
      return run_ioc_.get_executor().running_in_this_thread();
    });
    rpc_.add("needs_name", [](const Value& params) -> Value {
      if (!params.contains("name") || !params["name"].is_string()) {
        throw RpcError(k_rpc_invalid_params, "invalid params: \"name\" must be a text");
      }
      return "hello " + params["name"].get<std::string>();
    });
    rpc_.add("broken", [](const Value&) -> Value { throw StoreError("redis GET x: refused"); });
    starter_ = std::make_shared<test::FakeRunStarter>(run_ioc_);
    if (!api_options.rpc_executor) api_options.rpc_executor = run_ioc_.get_executor();
    api_ = std::make_unique<Api>(services_, &rpc_, starter_->starter(), std::move(api_options));
    server_options.listen = {"127.0.0.1", 0};
    server_ = std::make_unique<Server>(ioc_, *api_, server_options);
    server_->start();
    port_ = server_->port();
    thread_ = std::thread([this] { ioc_.run(); });
    run_thread_ = std::thread([this] { run_ioc_.run(); });
  }

  void TearDown() override {
    if (thread_.joinable()) stop_loops(ioc_, *server_, run_ioc_, thread_, run_thread_);
  }

  // Holds the run loop in one turn until release() (or destruction).
  class RunLoopBlock {
   public:
    explicit RunLoopBlock(net::io_context& run_ioc) {
      std::promise<void> entered;
      net::post(run_ioc, [wait = release_.get_future().share(), &entered] {
        entered.set_value();
        wait.wait();
      });
      entered.get_future().wait();
    }
    ~RunLoopBlock() { release(); }
    void release() {
      if (!released_) release_.set_value();
      released_ = true;
    }

   private:
    std::promise<void> release_;
    bool released_ = false;
  };

  // Runs `fn` on the server's loop and waits for it.
  template <typename Fn>
  auto on_loop(Fn fn) {
    return on_loop_of(ioc_, std::move(fn));
  }
  // Waits until the run loop has worked through what was queued before.
  void run_loop_catches_up() {
    on_loop_of(run_ioc_, [] {});
  }
  std::size_t runs_in_progress() {
    return on_loop([this] { return api_->tracker()->in_progress(); });
  }

  test::TempDir dir_;
  // Declared first, destroyed last: runs left on run_ioc_ hold connections.
  net::io_context ioc_;
  net::io_context run_ioc_;
  // Kept running between runs, as the timer service keeps the real one; the
  // server's loop also after a stop closed every connection (the tear-down
  // still has work for it).
  net::executor_work_guard<net::io_context::executor_type> run_work_ =
      net::make_work_guard(run_ioc_);
  net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(ioc_);
  std::atomic<int> rpc_calls_{0};
  std::shared_ptr<Services> services_;
  RpcRegistry rpc_;
  std::shared_ptr<test::FakeRunStarter> starter_;
  std::unique_ptr<Api> api_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  std::thread run_thread_;
  unsigned short port_ = 0;
};

TEST_F(ServerTest, RunsHealthAndLogsOverHttp) {
  start();
  ASSERT_NE(port_, 0);
  HttpResult health = http_request(port_, "GET", "/api/health");
  EXPECT_EQ(health.status, 200) << health.body;
  EXPECT_EQ(health.json()["db"]["ok"], true);
  HttpResult run = http_request(port_, "POST", "/api/runs", R"({"uuid": "wf-1"})",
                                {{"Content-Type", "application/json"}});
  EXPECT_EQ(run.status, 202) << run.body;
  EXPECT_EQ(run.json()["only_id"], "fake000000");
  HttpResult bad = http_request(port_, "POST", "/api/runs", R"({"uuid": "wf", "bogus": 1})");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(bad.json()["error"].get<std::string>().find("\"bogus\""), std::string::npos);
  HttpResult logs = http_request(port_, "GET", "/api/runs/fake000000/logs");
  EXPECT_EQ(logs.status, 200);
  EXPECT_EQ(logs.json(), Value::array());
  EXPECT_EQ(starter_->count(), 1u);
}

TEST_F(ServerTest, KeepAliveConnectionCarriesSeveralRequests) {
  start();
  const std::string get = "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  const std::string last = "GET /nope HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  std::string received = run_client(raw_exchange(port_, get + get + last));
  std::size_t answers = 0;
  for (auto at = received.find("HTTP/1.1 "); at != std::string::npos;
       at = received.find("HTTP/1.1 ", at + 1)) {
    ++answers;
  }
  EXPECT_EQ(answers, 3u) << received;
  EXPECT_NE(received.find("HTTP/1.1 404"), std::string::npos);
}

TEST_F(ServerTest, JsonRpcOverHttp) {
  start();
  struct Case {
    std::string body;
    std::string expected;  // the exact answer
  };
  const std::vector<Case> cases = {
      {R"({"jsonrpc": "2.0", "method": "ping", "id": 1})",
       R"({"jsonrpc": "2.0", "result": "pong", "id": 1})"},
      {R"({"jsonrpc": "2.0", "method": "needs_name", "params": {"name": "bo"}, "id": 2})",
       R"({"jsonrpc": "2.0", "result": "hello bo", "id": 2})"},
      {R"({"jsonrpc": "2.0", "method": "missing", "id": 3})",
       R"({"jsonrpc": "2.0", "error": {"code": -32601, "message": "method not found: missing"}, "id": 3})"},
      {R"({"jsonrpc": "2.0", "method": "needs_name", "params": {"name": 1}, "id": 4})",
       R"({"jsonrpc": "2.0", "error": {"code": -32602, "message": "invalid params: \"name\" must be a text"}, "id": 4})"},
      {R"({"jsonrpc": "2.0", "method": "broken", "id": 5})",
       R"({"jsonrpc": "2.0", "error": {"code": -32000, "message": "redis GET x: refused"}, "id": 5})"},
  };
  for (const auto& c : cases) {
    HttpResult r = http_request(port_, "POST", "/rpc", c.body);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, c.expected);
  }
  HttpResult parse_error = http_request(port_, "POST", "/rpc", "{\"jsonrpc\": ");
  EXPECT_EQ(parse_error.json()["error"]["code"], k_rpc_parse_error);
  EXPECT_TRUE(parse_error.json()["id"].is_null());
}

const std::string k_on_run_loop = R"({"jsonrpc": "2.0", "method": "on_run_loop", "id": 1})";

TEST_F(ServerTest, RemoteMethodsAreCalledOnTheRunLoop) {
  start();
  EXPECT_EQ(http_request(port_, "POST", "/rpc", k_on_run_loop).body,
            R"({"jsonrpc": "2.0", "result": true, "id": 1})");
}

// A run loop stuck in one turn holds up the remote calls and the run requests
// (whose runs it must store before they are answered), and those only for a
// while; nothing else.
TEST_F(ServerTest, BusyRunLoopHoldsUpOnlyRemoteCallsAndRunRequestsAndThoseBoundedly) {
  ApiOptions options;
  options.rpc_timeout = std::chrono::milliseconds(200);
  options.record_timeout = std::chrono::milliseconds(200);
  start(options);
  RunLoopBlock block(run_ioc_);
  EXPECT_EQ(http_request(port_, "GET", "/api/health").status, 200);
  HttpResult unstored = http_request(port_, "POST", "/api/runs", R"({"uuid": "wf"})");
  EXPECT_EQ(unstored.status, 503);
  EXPECT_NE(unstored.body.find("not stored within 200 ms"), std::string::npos) << unstored.body;
  EXPECT_EQ(unstored.json()["only_id"], "fake000000");
  HttpResult late = http_request(port_, "POST", "/rpc", k_on_run_loop);
  EXPECT_EQ(late.status, 503);
  EXPECT_NE(late.body.find("not answered within 200 ms"), std::string::npos) << late.body;
  // A run request waiting when the loop comes free is answered once its run is stored.
  auto waiting = std::async(std::launch::async, [this] {
    return http_request(port_, "POST", "/api/runs", R"({"uuid": "wf"})");
  });
  ASSERT_TRUE(starter_->wait_started(2));
  block.release();
  EXPECT_EQ(waiting.get().status, 202);
  // The late call is still carried out, once; its answer goes nowhere.
  run_loop_catches_up();
  EXPECT_EQ(rpc_calls_, 1);
  EXPECT_EQ(http_request(port_, "POST", "/rpc", k_on_run_loop).status, 200);
}

TEST_F(ServerTest, RunThatCannotBeStoredIsAnswered503NotAccepted) {
  start();
  starter_->record_failure = true;
  HttpResult run = http_request(port_, "POST", "/api/runs", R"({"uuid": "wf"})");
  EXPECT_EQ(run.status, 503) << run.body;
  EXPECT_EQ(run.json()["error"],
            "the run could not be stored: fake store: the run's row not stored");
  ASSERT_TRUE(api_->tracker()->wait_idle(std::chrono::seconds(20)));
}

// What the shutdown stops on the run loop (the timer service) must not be
// called after: a call queued there before the server began to stop is refused
// when the run loop reaches it.
TEST_F(ServerTest, RemoteCallReachingTheRunLoopAfterShutdownBeganIsRefused) {
  auto handoffs = std::make_shared<Handoffs>();
  ApiOptions options;
  options.rpc_executor = WatchedExecutor(run_ioc_.get_executor(), handoffs);
  start(options);
  RunLoopBlock block(run_ioc_);
  auto call = std::async(std::launch::async,
                         [this] { return http_request(port_, "POST", "/rpc", k_on_run_loop); });
  // The call is queued on the held run loop before the stop begins.
  ASSERT_TRUE(handoffs->wait_for(1));
  on_loop([this] { server_->stop_accepting(); });
  block.release();
  EXPECT_NE(call.get().status, 200);
  EXPECT_EQ(rpc_calls_, 0);
}

// Runs are counted from the HTTP loop and closed on the run loop; the bound
// holds across both, and its refusal reaches the client whole.
TEST_F(ServerTest, RunsOverTheBoundAre503UntilRunsCloseOnTheRunLoop) {
  ApiOptions options;
  options.max_runs = 3;
  start(options);
  starter_->held_ = true;
  const std::string run = R"({"uuid": "wf"})";
  for (int i = 0; i < 3; ++i) ASSERT_EQ(http_request(port_, "POST", "/api/runs", run).status, 202);
  HttpResult full = http_request(port_, "POST", "/api/runs", run);
  EXPECT_EQ(full.status, 503);
  EXPECT_EQ(full.headers["Retry-After"], "1");
  EXPECT_EQ(full.json()["error"], "too many runs in progress here (at most 3); retry later");
  EXPECT_EQ(http_request(port_, "GET", "/api/health").json()["runs_here"], 3);
  starter_->release();
  ASSERT_TRUE(api_->tracker()->wait_idle(std::chrono::seconds(20)));
  EXPECT_EQ(http_request(port_, "POST", "/api/runs", run).status, 202);
  EXPECT_EQ(starter_->count(), 4u);
}

TEST_F(ServerTest, TokenGuardsEveryRequestAndTheUpgrade) {
  ApiOptions options;
  options.token = "s3cret-token";
  start(options);
  const std::string run = R"({"uuid": "wf"})";
  EXPECT_EQ(http_request(port_, "POST", "/api/runs", run).status, 401);
  EXPECT_EQ(
      http_request(port_, "POST", "/api/runs", run, {{"Authorization", "Bearer wrong"}}).status,
      401);
  EXPECT_EQ(http_request(port_, "POST", "/rpc", R"({"jsonrpc": "2.0", "method": "ping", "id": 1})",
                         {{"Authorization", "Bearer s3cret-tokeN"}})
                .status,
            401);
  EXPECT_EQ(http_request(port_, "GET", "/api/health").status, 401);
  const std::string ws_run = R"({"method": "run", "data": {"uuid": "wf"}})";
  EXPECT_EQ(ws_session(port_, {}, {ws_run}, 1).refused_status, 401);
  EXPECT_EQ(ws_session(port_, {{"Authorization", "Bearer nope"}}, {ws_run}, 1).refused_status, 401);
  EXPECT_EQ(starter_->count(), 0u);  // no refused request started a run

  const Headers auth = {{"Authorization", "Bearer s3cret-token"}};
  EXPECT_EQ(http_request(port_, "POST", "/api/runs", run, auth).status, 202);
  WsResult ws = ws_session(port_, auth, {ws_run}, 4);
  EXPECT_EQ(ws.refused_status, 0);
  EXPECT_EQ(ws.messages.size(), 4u);
  EXPECT_EQ(starter_->count(), 2u);
}

TEST_F(ServerTest, WebSocketClientReceivesItsRunsMessagesInOrder) {
  start();
  starter_->messages_per_run = 50;
  WsResult ws = ws_session(port_, {}, {R"({"method": "run", "data": {"uuid": "wf"}})"}, 51);
  ASSERT_EQ(ws.messages.size(), 51u);
  EXPECT_EQ(ws.messages[0], R"({"method": "run_started", "data": {"only_id": "fake000000"}})");
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(ws.messages[i + 1], test::FakeRunStarter::message("fake000000", i));
  }
  WsResult bad = ws_session(port_, {}, {"not json"}, 1);
  ASSERT_EQ(bad.messages.size(), 1u);
  EXPECT_EQ(parse_json(bad.messages[0])["method"], "error");
}

TEST_F(ServerTest, WebSocketClientSubscribesToARunAndLeavesCleanly) {
  start();
  WsResult ws =
      ws_session(port_, {}, {R"({"method": "subscribe", "data": {"only_id": "fake000000"}})"}, 1);
  ASSERT_EQ(ws.messages.size(), 1u);
  EXPECT_EQ(parse_json(ws.messages[0]), parse_json(R"({"method": "subscribed",
      "data": {"only_id": "fake000000", "running_here": false}})"));
  EXPECT_EQ(http_request(port_, "GET", "/api/v1/health").status, 200);
}

TEST_F(ServerTest, ClientThatLeavesDoesNotDisturbItsRun) {
  start();
  starter_->messages_per_run = 200;
  starter_->held_ = true;
  // Leave after the acknowledgement and two records.
  WsResult ws = ws_session(port_, {}, {R"({"method": "run", "data": {"uuid": "wf"}})"}, 3);
  EXPECT_EQ(ws.messages.size(), 3u);
  starter_->release();
  EXPECT_TRUE(api_->tracker()->wait_idle(std::chrono::seconds(20)));
  EXPECT_EQ(runs_in_progress(), 0u);
  // The server is still serving.
  EXPECT_EQ(http_request(port_, "GET", "/api/health").status, 200);
}

TEST_F(ServerTest, OriginsAreCheckedOnUpgradeAndRequests) {
  ApiOptions options;
  options.allowed_origins = {"https://soc.example.com"};
  start(options);
  const std::string ws_run = R"({"method": "run", "data": {"uuid": "wf"}})";
  EXPECT_EQ(ws_session(port_, {{"Origin", "https://evil.example"}}, {ws_run}, 1).refused_status,
            403);
  EXPECT_EQ(http_request(port_, "POST", "/api/runs", R"({"uuid": "wf"})",
                         {{"Origin", "https://evil.example"}, {"Content-Type", "text/plain"}})
                .status,
            403);
  EXPECT_EQ(starter_->count(), 0u);
  EXPECT_EQ(ws_session(port_, {{"Origin", "https://soc.example.com"}}, {ws_run}, 4).messages.size(),
            4u);
  EXPECT_EQ(ws_session(port_, {}, {ws_run}, 4).messages.size(), 4u);  // no Origin: not a browser
}

TEST_F(ServerTest, OversizedBodiesAre413AndStartNothing) {
  ApiOptions options;
  options.body_limit = 4096;
  start(options);
  // Announced too large: refused before the body is read.
  std::string received = run_client(raw_exchange(
      port_, "POST /api/runs HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100000000\r\n\r\n"));
  EXPECT_EQ(received.rfind("HTTP/1.1 413", 0), 0u) << received;
  // Chunked, too large once read.
  std::string chunk(3000, ' ');
  std::string chunked =
      "POST /api/runs HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 2; ++i) chunked += "bb8\r\n" + chunk + "\r\n";
  chunked += "0\r\n\r\n";
  received = run_client(raw_exchange(port_, chunked));
  EXPECT_EQ(received.rfind("HTTP/1.1 413", 0), 0u) << received.substr(0, 200);
  // Same over the WebSocket: a message beyond the cap ends the connection.
  std::string big =
      R"({"method": "run", "data": {"uuid": "wf", "data": ")" + std::string(8000, 'x') + "\"}}";
  WsResult ws = ws_session(port_, {}, {big}, 1);
  EXPECT_TRUE(ws.closed_by_server);
  EXPECT_EQ(starter_->count(), 0u);
  // Headers beyond their cap are refused too.
  received =
      run_client(raw_exchange(port_, "GET /api/health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " +
                                         std::string(40000, 'a') + "\r\n\r\n"));
  EXPECT_EQ(received.rfind("HTTP/1.1 431", 0), 0u) << received.substr(0, 200);
}

TEST_F(ServerTest, SlowAndIdleConnectionsTimeOut) {
  ServerOptions options;
  options.request_timeout = std::chrono::milliseconds(200);
  start({}, options);
  // Idle: no byte at all. The server closes; the client sees the end.
  EXPECT_EQ(run_client(raw_exchange(port_, "")), "");
  // Slow: a request that never finishes its headers.
  EXPECT_EQ(run_client(raw_exchange(port_, "GET /api/health HTTP/1.1\r\nHost: 1")), "");
}

TEST_F(ServerTest, MalformedRequestsAre400) {
  start();
  std::string received = run_client(raw_exchange(port_, "BLAH\r\n\r\n"));
  EXPECT_EQ(received.rfind("HTTP/1.1 400", 0), 0u) << received;
}

TEST_F(ServerTest, GracefulStopWaitsForRunsAndNamesThoseCutShort) {
  start();
  starter_->held_ = true;
  ASSERT_EQ(http_request(port_, "POST", "/api/runs", R"({"uuid": "wf-held"})").status, 202);
  auto stopped =
      net::co_spawn(ioc_, graceful_stop(server_.get(), api_.get(), std::chrono::milliseconds(100)),
                    net::use_future);
  std::vector<RunTracker::Run> cut_short = stopped.get();
  ASSERT_EQ(cut_short.size(), 1u);
  EXPECT_EQ(cut_short[0].only_id, "fake000000");
  EXPECT_EQ(cut_short[0].uuid, "wf-held");
  // No longer accepting.
  EXPECT_THROW(http_request(port_, "GET", "/api/health"), boost::system::system_error);
}

TEST_F(ServerTest, GracefulStopLetsRunsCloseAndWatchersSeeTheEnd) {
  start();
  starter_->held_ = true;
  starter_->messages_per_run = 2;
  auto watcher = std::async(std::launch::async, [this] {
    return ws_session(port_, {}, {R"({"method": "run", "data": {"uuid": "wf"}})"}, 1000);
  });
  ASSERT_TRUE(starter_->wait_started(1));
  EXPECT_EQ(runs_in_progress(), 1u);
  auto stopped = net::co_spawn(
      ioc_, graceful_stop(server_.get(), api_.get(), std::chrono::seconds(20)), net::use_future);
  // New requests are refused while the run closes (the listener is closed,
  // so the connection itself may already be refused).
  int status = 0;
  try {
    status = http_request(port_, "GET", "/api/health").status;
  } catch (const boost::system::system_error&) {
  }
  EXPECT_NE(status, 200);
  starter_->release();
  EXPECT_TRUE(stopped.get().empty());
  WsResult ws = watcher.get();
  EXPECT_TRUE(ws.closed_by_server);
  EXPECT_EQ(ws.messages.size(), 3u);  // acknowledgement and both records, then the close
}

// ---- with the run engine ----------------------------------------------------

// A whole server with the real engine as `vqflow serve` has it: requests on one
// loop thread, runs on another; `services` get the fake "echo" app and the run
// loop as their executor.
class EngineServer {
 public:
  EngineServer(std::shared_ptr<Services> services, const test::TempDir& dir)
      : services_(std::move(services)) {
    test::add_echo_app(*services_, dir);
    services_->executor = run_ioc_.get_executor();
    add_ping_method(rpc_);
    ApiOptions api_options;
    api_options.rpc_executor = run_ioc_.get_executor();
    api_ = std::make_unique<Api>(services_, &rpc_, engine_run_starter(services_), api_options);
    ServerOptions options;
    options.listen = {"127.0.0.1", 0};
    server_ = std::make_unique<Server>(ioc_, *api_, options);
    server_->start();
    port_ = server_->port();
    thread_ = std::thread([this] { ioc_.run(); });
    run_thread_ = std::thread([this] { run_ioc_.run(); });
  }
  ~EngineServer() { stop_loops(ioc_, *server_, run_ioc_, thread_, run_thread_); }
  unsigned short port() const { return port_; }
  Services& services() { return *services_; }
  Api& api() { return *api_; }

  // graceful_stop on the server's loop, as `vqflow serve` runs it.
  std::vector<RunTracker::Run> stop(std::chrono::milliseconds grace) {
    return net::co_spawn(ioc_, graceful_stop(server_.get(), api_.get(), grace), net::use_future)
        .get();
  }

  // The stored records of a run, served once every run this server started
  // has closed (or stopped at an audit). Runs go on on their own loop, so a
  // resumed run may not have written anything yet when its request is answered.
  Value settled_logs(const std::string& only_id) {
    EXPECT_TRUE(api_->tracker()->wait_idle(std::chrono::seconds(20))) << "runs still open";
    return http_request(port_, "GET", "/api/runs/" + only_id + "/logs").json();
  }

 private:
  // Declared first, destroyed last: runs left on run_ioc_ hold connections.
  net::io_context ioc_;
  net::io_context run_ioc_;
  // Both loops stay up until the destructor stops them.
  net::executor_work_guard<net::io_context::executor_type> run_work_ =
      net::make_work_guard(run_ioc_);
  net::executor_work_guard<net::io_context::executor_type> work_ = net::make_work_guard(ioc_);
  std::shared_ptr<Services> services_;
  RpcRegistry rpc_;
  std::unique_ptr<Api> api_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  std::thread run_thread_;
  unsigned short port_ = 0;
};

std::vector<std::string> results(const Value& records) {
  std::vector<std::string> out;
  for (const auto& r : records) out.push_back(text_form(r["result"]));
  return out;
}

TEST(EngineServer, WebSocketClientReceivesTheRunsRecordsInOrderAsStored) {
  test::TempDir dir;
  EngineServer server(test::make_test_services(dir), dir);
  server.services().db->table("workflow").insert(test::echo_playbook("pb", false));
  // Live texts escape every non-ASCII character.
  std::string end_record = json_text(Value("剧本执行结束"));
  end_record = end_record.substr(1, end_record.size() - 2);
  WsResult ws = ws_session(server.port(), {}, {R"({"method": "run", "data": {"uuid": "pb"}})"}, 100,
                           end_record);
  ASSERT_GE(ws.messages.size(), 2u);
  Value ack = parse_json(ws.messages[0]);
  ASSERT_EQ(ack["method"], "run_started") << ws.messages[0];
  const std::string only_id = ack["data"]["only_id"];
  Value live = Value::array();
  for (std::size_t i = 1; i < ws.messages.size(); ++i) {
    Value message = parse_json(ws.messages[i]);
    EXPECT_EQ(message["method"], "execute_log");
    EXPECT_EQ(message["data"]["only_id"], only_id);
    live.push_back(message["data"]);
  }
  EXPECT_EQ(results(live), (std::vector<std::string>{"剧本开始执行", "a", "b", "剧本执行结束"}));
  // What the client saw is what was stored, record for record.
  Value stored = server.settled_logs(only_id);
  EXPECT_EQ(stored, live);
}

TEST(EngineServer, AuditWaitsAndAnApprovalOverHttpResumesTheRun) {
  test::TempDir dir;
  EngineServer server(test::make_test_services(dir), dir);
  server.services().db->table("workflow").insert(test::echo_playbook("pb", true));
  HttpResult started = http_request(server.port(), "POST", "/api/runs", R"({"uuid": "pb"})");
  ASSERT_EQ(started.status, 202) << started.body;
  const std::string only_id = started.json()["only_id"];
  EXPECT_EQ(results(server.settled_logs(only_id)),
            (std::vector<std::string>{"剧本开始执行", "a", "剧本等待审核..."}));
  Value approval = {{"uuid", "pb"},       {"audit_app", "U"}, {"audit_status", "1"},
                    {"only_id", only_id}, {"user", "alice"},  {"start_app", "B"}};
  HttpResult approved = http_request(server.port(), "POST", "/api/runs", json_text(approval));
  ASSERT_EQ(approved.status, 202) << approved.body;
  EXPECT_EQ(results(server.settled_logs(only_id)),
            (std::vector<std::string>{"剧本开始执行", "a", "剧本等待审核...",
                                      "【alice】通过了该剧本执行", "b", "剧本执行结束"}));
  // The run counter went down after the end record was stored, before the run closed.
  Value health = http_request(server.port(), "GET", "/api/health").json();
  EXPECT_EQ(health["exec_sum"], 0) << health.dump();

  // The same approval again, and one for a run that never waited: 409, nothing runs.
  HttpResult replay = http_request(server.port(), "POST", "/api/runs", json_text(approval));
  EXPECT_EQ(replay.status, 409) << replay.body;
  EXPECT_NE(replay.body.find("made already (approved by alice"), std::string::npos) << replay.body;
  approval["only_id"] = "aaaaaaaaaa";
  HttpResult forged = http_request(server.port(), "POST", "/api/runs", json_text(approval));
  EXPECT_EQ(forged.status, 409) << forged.body;
  EXPECT_NE(forged.body.find("never waited"), std::string::npos) << forged.body;
  EXPECT_TRUE(server.services().db->table("logs").where("only_id", "aaaaaaaaaa").get().empty());
}

// Clients on several connections at once: every run they start from the
// request loop is tracked until it closed on the run loop, and stored whole.
TEST(EngineServer, RunsStartedFromManyConnectionsAllCloseWhole) {
  test::TempDir dir;
  EngineServer server(test::make_test_services(dir), dir);
  server.services().db->table("workflow").insert(test::echo_playbook("pb", false));
  constexpr int k_clients = 4;
  constexpr int k_runs_each = 10;
  std::vector<std::future<std::vector<std::string>>> clients;
  for (int c = 0; c < k_clients; ++c) {
    clients.push_back(std::async(std::launch::async, [&server] {
      std::vector<std::string> ids;
      for (int i = 0; i < k_runs_each; ++i) {
        HttpResult r = http_request(server.port(), "POST", "/api/runs", R"({"uuid": "pb"})");
        if (r.status == 202) ids.push_back(r.json()["only_id"]);
      }
      return ids;
    }));
  }
  std::vector<std::string> ids;
  for (auto& c : clients) {
    for (auto& id : c.get()) ids.push_back(id);
  }
  ASSERT_EQ(ids.size(), std::size_t{k_clients * k_runs_each});
  EXPECT_TRUE(server.api().tracker()->wait_idle(std::chrono::seconds(60)));
  const std::vector<std::string> whole = {"剧本开始执行", "a", "b", "剧本执行结束"};
  for (const auto& id : ids) EXPECT_EQ(results(server.settled_logs(id)), whole) << id;
  Value health = http_request(server.port(), "GET", "/api/health").json();
  EXPECT_EQ(health["exec_sum"], 0) << health.dump();
  EXPECT_EQ(health["runs_here"], 0) << health.dump();
}

// A stop while runs are in flight on the run loop waits for them: none is cut
// short and none loses a record.
TEST(EngineServer, StopWhileRunsAreInFlightKeepsEveryRecord) {
  test::TempDir dir;
  EngineServer server(test::make_test_services(dir), dir);
  server.services().db->table("workflow").insert(test::echo_playbook("pb", false));
  // The runs are submitted from the request loop while the stop begins there.
  std::vector<std::string> ids;
  for (int i = 0; i < 30; ++i) {
    HttpResult r = http_request(server.port(), "POST", "/api/runs", R"({"uuid": "pb"})");
    ASSERT_EQ(r.status, 202) << r.body;
    ids.push_back(r.json()["only_id"]);
  }
  EXPECT_TRUE(server.stop(std::chrono::seconds(30)).empty());
  EXPECT_EQ(server.api().tracker()->in_progress(), 0u);
  for (const auto& id : ids) {
    auto rows = server.services().db->table("logs").where("only_id", id).get();
    std::vector<std::string> stored;
    for (const auto& row : rows) stored.push_back(text_form(row["result"]));
    EXPECT_EQ(stored, (std::vector<std::string>{"剧本开始执行", "a", "b", "剧本执行结束"})) << id;
  }
}

// Two servers on one Redis and one PostgreSQL: a run started on the first
// waits for its audit, the decision goes to the second, and both serve the
// run's whole log.
TEST(EngineServerLive, AuditApprovedOnAnotherServerResumesTheRun) {
  auto redis = test::live_redis_url();
  auto pg = test::live_pg_url();
  if (!redis || !pg) GTEST_SKIP() << "VQFLOW_TEST_REDIS / VQFLOW_TEST_PG not set";
  auto open = [&] {
    Config config;
    config.db_url = *pg;
    config.kv_url = *redis;
    auto services = std::make_shared<Services>();
    services->config = config;
    services->db = open_database(config.db_url);
    services->db->init_schema();
    services->kv = open_kv_store(config.kv_url, std::nullopt);
    return services;
  };
  test::TempDir unique;
  EngineServer first(open(), unique);
  EngineServer second(open(), unique);
  const std::string uuid = "pb-" + unique.path().filename().string();
  first.services().db->table("workflow").insert(test::echo_playbook(uuid, true));

  HttpResult started =
      http_request(first.port(), "POST", "/api/runs", json_text(Value{{"uuid", uuid}}));
  ASSERT_EQ(started.status, 202) << started.body;
  const std::string only_id = started.json()["only_id"];
  EXPECT_EQ(results(first.settled_logs(only_id)),
            (std::vector<std::string>{"剧本开始执行", "a", "剧本等待审核..."}));
  // The waiting run is visible from the second server too.
  EXPECT_EQ(second.settled_logs(only_id).size(), 3u);

  Value approval = {{"uuid", uuid},       {"audit_app", "U"}, {"audit_status", "1"},
                    {"only_id", only_id}, {"user", "bob"},    {"start_app", "B"}};
  ASSERT_EQ(http_request(second.port(), "POST", "/api/runs", json_text(approval)).status, 202);
  const std::vector<std::string> whole = {
      "剧本开始执行", "a", "剧本等待审核...", "【bob】通过了该剧本执行", "b", "剧本执行结束"};
  EXPECT_EQ(results(second.settled_logs(only_id)), whole);
  EXPECT_EQ(results(first.settled_logs(only_id)), whole);
  auto reports = first.services().db->table("report").where("report_no", only_id).get();
  EXPECT_EQ(reports.size(), 1u);
}

// ---- the real binary --------------------------------------------------------

// Kills the child if a failed assertion leaves the test before it was reaped.
struct ChildGuard {
  pid_t pid = 0;
  ~ChildGuard() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
  }
  int wait() {
    int status = 0;
    if (::waitpid(pid, &status, 0) == pid) pid = 0;
    return status;
  }
};

TEST(ServeProcess, ServesUntilSigtermThenExitsZero) {
  test::TempDir dir;
  const std::string log = dir.file("serve.log");
  {
    auto db = open_database(dir.file("vqflow.db"));
    db->init_schema();
    db->table("workflow").insert(test::noop_playbook("pb"));
  }
  std::vector<std::string> args = {VQFLOW_BINARY,
                                   "--db",
                                   dir.file("vqflow.db"),
                                   "--apps",
                                   dir.path().string(),
                                   "--log-file",
                                   log,
                                   "serve",
                                   "--listen",
                                   "127.0.0.1:0",
                                   "--shutdown-grace",
                                   "5"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  // The process log on stderr comes through a pipe; declared before the child
  // so that the child is gone before its reader waits for the pipe's end.
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
  test::OutputWatcher log_lines(pipe_ends[0]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
  ChildGuard child;
  const int spawned =
      posix_spawn(&child.pid, VQFLOW_BINARY, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  ASSERT_EQ(spawned, 0);

  // The process log names the port it bound.
  const std::string listening = "listening on 127.0.0.1:";
  std::optional<std::string> line = log_lines.wait_for_line(listening, std::chrono::seconds(20));
  ASSERT_TRUE(line) << "no listening line in the process log";
  const auto port = static_cast<unsigned short>(
      std::stoi(line->substr(line->find(listening) + listening.size())));
  ASSERT_NE(port, 0);
  HttpResult health = http_request(port, "GET", "/api/health");
  EXPECT_EQ(health.status, 200) << health.body;
  HttpResult ping =
      http_request(port, "POST", "/rpc", R"({"jsonrpc": "2.0", "method": "ping", "id": 1})");
  EXPECT_EQ(ping.body, R"({"jsonrpc": "2.0", "result": "pong", "id": 1})");

  // The timer service answers over the same transport.
  HttpResult jobs =
      http_request(port, "POST", "/rpc", R"({"jsonrpc": "2.0", "method": "get_jobs", "id": 2})");
  EXPECT_EQ(jobs.body, R"({"jsonrpc": "2.0", "result": [], "id": 2})");

  // The timer commands reach that service with --server.
  const std::string server = " --server http://127.0.0.1:" + std::to_string(port);
  auto added = test::run_vqflow(
      dir, "timers add t-remote pb --type interval --interval-type hours --time 1" + server);
  EXPECT_EQ(added.exit_code, 0) << added.err;
  auto listed = test::run_vqflow(dir, "timers list --json" + server);
  EXPECT_NE(listed.out.find(R"("id": "t-remote", "uuid": "pb")"), std::string::npos)
      << listed.out << listed.err;

  // A second server on the same store may not run the timers a second time:
  // it waits as a standby.
  {
    std::vector<std::string> second_args = {VQFLOW_BINARY, "--db",     dir.file("vqflow.db"),
                                            "serve",       "--listen", "127.0.0.1:0"};
    test::WatchedChild second(second_args);
    ASSERT_GT(second.pid(), 0);
    EXPECT_TRUE(second.lines().wait_for_line("timer service: standby", std::chrono::seconds(20)));
    EXPECT_TRUE(second.lines().wait_for_line("listening on", std::chrono::seconds(20)));
    int second_status = 0;
    EXPECT_EQ(::waitpid(second.pid(), &second_status, WNOHANG), 0) << "the standby kept serving";
  }

  // Runs still going when the signal comes close before the process exits,
  // every record stored.
  std::vector<std::string> ids;
  for (int i = 0; i < 20; ++i) {
    HttpResult run = http_request(port, "POST", "/api/runs", R"({"uuid": "pb"})");
    ASSERT_EQ(run.status, 202) << run.body;
    ids.push_back(run.json()["only_id"]);
  }
  // The metrics count them once they closed.
  EXPECT_TRUE(test::eventually([port] {
    return http_request(port, "GET", "/metrics")
               .body.find("vqflow_runs_closed_total{state=\"done\"} 20\n") != std::string::npos;
  })) << http_request(port, "GET", "/metrics").body;

  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto db = open_database(dir.file("vqflow.db"));
  for (const auto& id : ids) {
    auto rows = db->table("logs").where("only_id", id).get();
    ASSERT_EQ(rows.size(), 4u) << id;
    EXPECT_EQ(rows.front()["result"], "剧本开始执行") << id;
    EXPECT_EQ(rows.back()["result"], "剧本执行结束") << id;
  }
  std::ifstream in(log);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("cut short"), std::string::npos) << text;
  // One access log line per request.
  EXPECT_NE(text.find("\"GET /api/health\" 200 "), std::string::npos) << text;
  EXPECT_NE(text.find("\"POST /api/runs\" 202 "), std::string::npos) << text;
}

TEST(ServeProcess, RefusesNonLoopbackWithoutTokenFile) {
  std::vector<std::string> args = {VQFLOW_BINARY, "serve", "--listen", "0.0.0.0:0", "--no-timers"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  test::TempDir dir;
  ChildGuard child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  ASSERT_EQ(posix_spawn(&child.pid, VQFLOW_BINARY, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vqflow
