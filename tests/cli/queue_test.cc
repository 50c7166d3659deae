// Queue mode for real: `vqflow serve --queue` and `vqflow worker` processes on
// one Redis and PostgreSQL, a worker killed with SIGKILL mid-burst, a queue
// that is full.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "stores/database.h"
#include "stores/kv_store.h"
#include "stores/redis_link.h"
#include "support/echo_playbook.h"
#include "support/processes.h"
#include "support/raw_http_client.h"
#include "support/slow_playbook.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

const char* const k_end_text = "剧本执行结束";

// A vqflow child process, up once it printed `ready`.
class Child {
 public:
  Child(std::vector<std::string> argv, const std::string& ready) {
    child_ = std::make_unique<test::WatchedChild>(argv);
    line_ = child_->lines().wait_for_line(ready, 30s).value_or("");
  }
  bool up() const { return !line_.empty(); }
  const std::string& line() const { return line_; }
  int pid() const { return child_->pid(); }
  unsigned short port = 0;  // a server's
  int stop(int signal) {
    ::kill(child_->pid(), signal);
    return child_->wait();
  }

 private:
  std::unique_ptr<test::WatchedChild> child_;
  std::string line_;
};

// A blocking WebSocket client of /api/ws; a read waits at most 30 s.
class WsClient {
 public:
  explicit WsClient(unsigned short port) : ws_(ioc_) {
    namespace net = boost::asio;
    ws_.next_layer().connect({net::ip::make_address("127.0.0.1"), port});
    timeval limit{30, 0};
    ::setsockopt(ws_.next_layer().native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ws_.handshake("127.0.0.1", "/api/ws");
  }
  void send(const Value& message) { ws_.write(boost::asio::buffer(json_text(message, false))); }
  // The next message, or null once the connection failed or was silent too long.
  Value next() {
    boost::beast::flat_buffer buffer;
    boost::system::error_code ec;
    ws_.read(buffer, ec);
    if (ec) return Value();
    return parse_json(boost::beast::buffers_to_string(buffer.data()));
  }

 private:
  boost::asio::io_context ioc_;
  boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws_;
};

class QueueLive : public ::testing::Test {
 protected:
  // `redis_db` keeps each test's stream and counters apart.
  void prepare(int redis_db) {
    auto redis = test::live_redis_url();
    auto pg = test::live_pg_url();
    if (!redis || !pg) GTEST_SKIP() << "VQFLOW_TEST_REDIS / VQFLOW_TEST_PG not set";
    db_url_ = *pg;
    kv_url_ = redis->substr(0, redis->rfind('/')) + "/" + std::to_string(redis_db);
    db_ = open_database(db_url_);
    db_->init_schema();
    kv_ = open_kv_store(kv_url_, "");
    redis_ = std::make_unique<RedisLink>(kv_url_, 5s);
    redis_->command({"FLUSHDB"});
    kv_->set("exec_sum", "0");
    // An app that notes which process ran it: its parent is the worker.
    const std::filesystem::path app = dir_.path() / "apps" / "mark";
    std::filesystem::create_directories(app / "main");
    std::ofstream(app / "app.json") << R"({"identification": "vqflow", "is_public": true,
      "name": "mark", "actions": {"nap": {"args": []}}})";
    const std::string run = (app / "main" / "run").string();
    std::ofstream(run) << "#!/bin/sh\ncat >/dev/null\necho $PPID >> " << dir_.file("ran.pids")
                       << "\necho '{\"status\": 0, \"result\": \"marked\"}'\n";
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    Row row = test::slow_playbook_row(marked_);
    row["flow_data"] = R"({"A": {"app_dir": "mark", "data": {"node_name": "a", "action": "nap"}},
                          "B": {"app_dir": "mark", "data": {"node_name": "b", "action": "nap"}}})";
    db_->table("workflow").insert(row);
  }

  std::vector<std::string> globals() const {
    return {VQFLOW_BINARY, "--db", db_url_, "--kv", kv_url_, "--apps", dir_.file("apps")};
  }
  std::unique_ptr<Child> serve(const std::vector<std::string>& extra) {
    auto argv = globals();
    argv.insert(argv.end(), {"serve", "--listen", "127.0.0.1:0", "--no-timers", "--queue"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    auto child = std::make_unique<Child>(argv, "listening on 127.0.0.1:");
    const std::string& line = child->line();
    const std::string at = "listening on 127.0.0.1:";
    if (child->up()) port_ = std::stoi(line.substr(line.find(at) + at.size()));
    child->port = port_;
    return child;
  }
  std::unique_ptr<Child> worker(const std::vector<std::string>& extra = {}) {
    auto argv = globals();
    argv.insert(argv.end(), {"worker", "--claim-after", "3"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    return std::make_unique<Child>(argv, "taking queued runs as");
  }

  std::string post_run() const {
    return test::http_post(port_, "/api/runs", json_text(Value{{"uuid", marked_}}, false));
  }
  std::size_t queued() {
    return static_cast<std::size_t>(redis_->command({"XLEN", "vqflow:runs"})->integer);
  }
  // Ends stored for the run, and its state.
  std::pair<std::size_t, std::string> closed(const std::string& only_id) {
    std::size_t ends = 0;
    for (const Row& log : db_->table("logs").where("only_id", only_id).get()) {
      ends += text_form(log["result"]) == k_end_text;
    }
    auto row = db_->table("runs").where("only_id", only_id).first();
    return {ends, row ? text_form((*row)["state"]) : ""};
  }
  std::map<int, int> runs_by_process() {
    std::map<int, int> out;
    std::ifstream in(dir_.file("ran.pids"));
    for (int pid = 0; in >> pid;) ++out[pid];
    return out;
  }

  TempDir dir_;
  const std::string marked_ = "marked-" + dir_.path().filename().string();
  std::string db_url_;
  std::string kv_url_;
  unsigned short port_ = 0;
  std::unique_ptr<Database> db_;
  std::unique_ptr<KvStore> kv_;
  std::unique_ptr<RedisLink> redis_;
};

// 1,000 runs through the queue while one of two workers is killed: every run
// answered 202 ends exactly once, both workers ran some, nothing stays counted.
TEST_F(QueueLive, EveryRunAnswered202EndsOnceWhenAWorkerIsKilledMidway) {
  prepare(6);
  if (IsSkipped()) return;
  auto api = serve({"--no-worker"});
  ASSERT_TRUE(api->up());
  auto doomed = worker({"--concurrency", "16"});
  auto survivor = worker({"--concurrency", "16"});
  ASSERT_TRUE(doomed->up() && survivor->up());

  constexpr int k_clients = 8;
  constexpr int k_requests = 125;  // per client
  std::atomic<int> answered{0};
  std::vector<std::vector<std::string>> accepted(k_clients);
  std::vector<int> refused(k_clients, 0);
  std::vector<std::thread> clients;
  for (int c = 0; c < k_clients; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < k_requests; ++i) {
        const std::string answer = post_run();
        if (test::response_status(answer) == 202) {
          accepted[c].push_back(
              parse_json(test::response_body(answer))["only_id"].get<std::string>());
        } else {
          ++refused[c];
        }
        ++answered;
      }
    });
  }
  ASSERT_TRUE(test::eventually([&] { return answered >= 300; }, 120s));
  const int dead = doomed->pid();
  doomed->stop(SIGKILL);
  for (auto& client : clients) client.join();

  std::set<std::string> ids;
  std::size_t total = 0;
  for (const auto& some : accepted) {
    ids.insert(some.begin(), some.end());
    total += some.size();
  }
  EXPECT_EQ(ids.size(), total) << "an only_id was answered twice";
  int refusals = 0;
  for (int r : refused) refusals += r;
  // Waiting runs are taken over within the lease: none is refused here.
  EXPECT_EQ(refusals, 0);
  EXPECT_GE(ids.size(), 900u);
  // The survivor repairs the dead worker's runs and takes over its entries.
  auto all_closed = [&] {
    for (const auto& id : ids) {
      auto [ends, state] = closed(id);
      if (ends != 1 || state == "running") return false;
    }
    return true;
  };
  EXPECT_TRUE(test::eventually(all_closed, 120s));
  std::map<std::string, int> states;
  for (const auto& id : ids) {
    auto [ends, state] = closed(id);
    EXPECT_EQ(ends, 1u) << id;
    ++states[state];
  }
  EXPECT_EQ(states["done"] + states["interrupted"], static_cast<int>(ids.size()));
  std::map<int, int> ran = runs_by_process();
  EXPECT_GT(ran[dead], 0);
  EXPECT_GT(ran[survivor->pid()], 0);
  EXPECT_TRUE(test::eventually([&] { return queued() == 0; }, 30s)) << queued();
  EXPECT_EQ(kv_->get("exec_sum").value_or("0"), "0");
  EXPECT_EQ(kv_->get(marked_ + "&&exec_sum").value_or("0"), "0");
  const int status = survivor->stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A full queue answers 503 with Retry-After at once; the runs it holds are
// answered 202 once a worker has started them.
TEST_F(QueueLive, AFullQueueAnswers503AndItsRunsAre202OnceAWorkerStartsThem) {
  prepare(8);
  if (IsSkipped()) return;
  auto api = serve({"--no-worker", "--queue-max", "3"});
  ASSERT_TRUE(api->up());
  std::vector<std::string> answers(3);
  std::vector<std::thread> waiting;
  for (int i = 0; i < 3; ++i) waiting.emplace_back([&, i] { answers[i] = post_run(); });
  ASSERT_TRUE(test::eventually([&] { return queued() == 3; }, 30s));
  const std::string full = post_run();
  EXPECT_EQ(test::response_status(full), 503) << full;
  EXPECT_NE(full.find("Retry-After: 1"), std::string::npos) << full;
  EXPECT_NE(full.find("the run queue holds 3 runs"), std::string::npos) << full;

  auto taker = worker();
  ASSERT_TRUE(taker->up());
  for (auto& t : waiting) t.join();
  for (const std::string& answer : answers) {
    ASSERT_EQ(test::response_status(answer), 202) << answer;
    const std::string id = parse_json(test::response_body(answer))["only_id"].get<std::string>();
    // A 202 comes with the run's row stored.
    EXPECT_FALSE(closed(id).second.empty()) << id;
    EXPECT_TRUE(test::eventually([&] { return closed(id).first == 1; }, 30s)) << id;
  }
  EXPECT_EQ(queued(), 0u);
}

// A request for a missing playbook is refused by the API itself; a worker's
// refusal (a decision for a run that never waited) reaches the client.
TEST_F(QueueLive, RefusalsReachTheClientThroughTheQueue) {
  prepare(9);
  if (IsSkipped()) return;
  auto api = serve({});
  ASSERT_TRUE(api->up());
  EXPECT_NE(api->line().find("queue mode, worker"), std::string::npos) << api->line();
  const std::string missing =
      test::http_post(port_, "/api/runs", json_text(Value{{"uuid", "no-such-playbook"}}, false));
  EXPECT_EQ(test::response_status(missing), 404) << missing;
  const std::string decision = test::http_post(port_, "/api/runs",
                                               json_text(Value{{"uuid", marked_},
                                                               {"only_id", "nowaiting"},
                                                               {"audit_app", "A"},
                                                               {"audit_status", "1"}},
                                                         false));
  EXPECT_EQ(test::response_status(decision), 409) << decision;
  EXPECT_NE(decision.find("never waited for a decision"), std::string::npos) << decision;
}

// A run started through one server and run by the worker of another is
// followed live from the first, and read back the same from both.
TEST_F(QueueLive, AWebSocketSubscriberOnAnyServerFollowsARunOfAnyWorker) {
  prepare(10);
  if (IsSkipped()) return;
  test::write_slow_app(dir_, 1);
  const std::string slow = "slow-" + dir_.path().filename().string();
  db_->table("workflow").insert(test::slow_playbook_row(slow));
  auto front = serve({"--no-worker"});
  auto back = serve({});
  ASSERT_TRUE(front->up() && back->up());
  const std::string answer =
      test::http_post(front->port, "/api/runs", json_text(Value{{"uuid", slow}}, false));
  ASSERT_EQ(test::response_status(answer), 202) << answer;
  const std::string id = parse_json(test::response_body(answer))["only_id"].get<std::string>();
  WsClient client(front->port);
  client.send({{"method", "subscribe"}, {"data", {{"only_id", id}}}});
  Value reply = client.next();
  EXPECT_EQ(reply["method"], "subscribed") << reply.dump();
  EXPECT_EQ(reply["data"]["running_here"], false) << reply.dump();
  std::vector<Value> seen;
  for (Value message = client.next(); !message.is_null(); message = client.next()) {
    seen.push_back(message);
    if (message.value("method", Value()) == "run_closed") break;
  }
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back()["method"], "run_closed") << seen.back().dump();
  EXPECT_EQ(seen.back()["data"]["only_id"], id);
  EXPECT_EQ(seen.back()["data"]["state"], "done") << seen.back().dump();
  EXPECT_GE(seen.size(), 2u);  // the nodes' records came before it
  const std::string here = test::http_get(front->port, "/api/runs/" + id);
  const std::string there = test::http_get(back->port, "/api/runs/" + id);
  EXPECT_EQ(test::response_status(here), 200) << here;
  EXPECT_EQ(test::response_body(here), test::response_body(there));
}

// A run that waits for a decision goes on through the queue once: the
// decision's 202 comes once a worker took it, a second decision is refused.
TEST_F(QueueLive, ADecisionThroughTheQueueIsTakenOnce) {
  prepare(3);
  if (IsSkipped()) return;
  const std::string audited = "audited-" + dir_.path().filename().string();
  db_->table("workflow").insert(test::noop_playbook(audited, true));
  auto api = serve({});
  ASSERT_TRUE(api->up());
  const std::string started =
      test::http_post(port_, "/api/runs", json_text(Value{{"uuid", audited}}, false));
  ASSERT_EQ(test::response_status(started), 202) << started;
  const std::string id = parse_json(test::response_body(started))["only_id"].get<std::string>();
  ASSERT_TRUE(test::eventually([&] { return closed(id).second == "waiting"; }, 30s))
      << closed(id).second;
  const std::string decision =
      json_text(Value{{"audit_app", "U"}, {"status", 1}, {"user", "ann"}}, false);
  const std::string first = test::http_post(port_, "/api/audits/" + id + "/decision", decision);
  EXPECT_EQ(test::response_status(first), 202) << first;
  EXPECT_TRUE(test::eventually([&] { return closed(id).second == "done"; }, 30s))
      << closed(id).second;
  EXPECT_EQ(closed(id).first, 1u);
  const std::string again = test::http_post(port_, "/api/audits/" + id + "/decision", decision);
  EXPECT_EQ(test::response_status(again), 409) << again;
  EXPECT_NE(again.find("made already"), std::string::npos) << again;
}

TEST(QueueMode, ServeQueueWithoutRedisIsRefusedInOneLine) {
  TempDir dir;
  test::WatchedChild child({VQFLOW_BINARY, "--db", dir.file("v.db"), "--kv", "memory://", "serve",
                            "--queue", "--listen", "127.0.0.1:0"});
  auto line = child.lines().wait_for_line("needs a redis://", 30s);
  EXPECT_TRUE(line.has_value());
  const int status = child.wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vqflow
