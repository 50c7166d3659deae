// `vqflow serve` stopped for real: killed with SIGKILL mid-run and mid-burst,
// and stopped with SIGTERM while runs outlast the grace. The next server on
// the same stores must come up at once and close every run that was accepted.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "stores/database.h"
#include "stores/kv_store.h"
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

enum class Stores { embedded, memory_kv, live };

// A `vqflow serve` child on the given stores, up once it has said where it
// listens. Killed with SIGKILL on destruction unless waited for.
class ServeChild {
 public:
  ServeChild(const std::string& db, const std::string& kv, const std::string& apps,
             const std::vector<std::string>& extra = {}) {
    std::vector<std::string> argv = {VQFLOW_BINARY, "--db", db, "--apps", apps};
    if (!kv.empty()) argv.insert(argv.end(), {"--kv", kv});
    argv.insert(argv.end(), {"serve", "--listen", "127.0.0.1:0"});
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_ = std::make_unique<test::WatchedChild>(argv);
    const std::string listening = "listening on 127.0.0.1:";
    if (auto line = child_->lines().wait_for_line(listening, 30s)) {
      listening_ = *line;
      port_ = static_cast<unsigned short>(
          std::stoi(line->substr(line->find(listening) + listening.size())));
    }
  }

  int pid() const { return child_->pid(); }
  unsigned short port() const { return port_; }
  const std::string& listening() const { return listening_; }
  bool running() const {
    int status = 0;
    return ::waitpid(child_->pid(), &status, WNOHANG) == 0;
  }
  int stop(int signal) {
    ::kill(child_->pid(), signal);
    return child_->wait();
  }

  // POST /api/runs for `uuid`: the only_id of a 202, else "".
  std::string start_run(const std::string& uuid) const {
    const std::string answer =
        test::http_post(port_, "/api/runs", json_text(Value{{"uuid", uuid}}, false));
    if (test::response_status(answer) != 202) return "";
    return parse_json(test::response_body(answer))["only_id"].get<std::string>();
  }
  Value health() const {
    const std::string answer = test::http_get(port_, "/api/health");
    return answer.empty() ? Value() : parse_json(test::response_body(answer));
  }

 private:
  std::unique_ptr<test::WatchedChild> child_;
  unsigned short port_ = 0;
  std::string listening_;
};

// What the stores hold of one run.
struct StoredRun {
  std::string state;
  std::vector<std::string> results;
  std::size_t rows = 0;  // of the runs table
  std::size_t ends() const { return std::count(results.begin(), results.end(), k_end_text); }
};

class ServeCrash : public ::testing::TestWithParam<Stores> {
 protected:
  // Opens the stores of this case; `redis_db` keeps each live test's counters
  // and timer lock apart from those of other tests on the same server.
  void prepare(int redis_db) {
    db_url_ = dir_.file("vqflow.db");
    if (GetParam() == Stores::memory_kv) kv_url_ = "memory://";
    if (GetParam() == Stores::live) {
      auto redis = test::live_redis_url();
      auto pg = test::live_pg_url();
      if (!redis || !pg) GTEST_SKIP() << "VQFLOW_TEST_REDIS / VQFLOW_TEST_PG not set";
      db_url_ = *pg;
      kv_url_ = redis->substr(0, redis->rfind('/')) + "/" + std::to_string(redis_db);
    }
    db_ = open_database(db_url_);
    db_->init_schema();
    if (GetParam() != Stores::memory_kv) {
      kv_ = open_kv_store(kv_url_, db_->sqlite_path());
      kv_->set("exec_sum", "0");
      kv_->del("vqflow:timer-service-lock");
    }
    test::write_slow_app(dir_, 5);
    db_->table("workflow").insert(test::slow_playbook_row(slow_));
    db_->table("workflow").insert(test::noop_playbook(quick_));
  }

  std::unique_ptr<ServeChild> serve(const std::vector<std::string>& extra = {}) {
    auto child = std::make_unique<ServeChild>(db_url_, kv_url_, dir_.file("apps"), extra);
    EXPECT_NE(child->port(), 0) << "the server did not come up";
    return child;
  }

  StoredRun stored(const std::string& only_id) {
    StoredRun out;
    auto rows = db_->table("runs").where("only_id", only_id).get();
    out.rows = rows.size();
    if (!rows.empty()) out.state = text_form(rows[0]["state"]);
    for (const Row& log : db_->table("logs").where("only_id", only_id).get()) {
      out.results.push_back(text_form(log["result"]));
    }
    return out;
  }

  // A counter as the stores hold it ("0" for the in-process store, which died
  // with its process).
  std::string counter(const std::string& key) {
    if (!kv_) return "0";
    return kv_->get(key).value_or("0");
  }

  TempDir dir_;
  const std::string slow_ = "slow-" + dir_.path().filename().string();
  const std::string quick_ = "quick-" + dir_.path().filename().string();
  std::string db_url_;
  std::string kv_url_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<KvStore> kv_;
};

TEST_P(ServeCrash, KilledServersRunsAreRepairedAtOnceByTheServerRestartedAfterIt) {
  prepare(11);
  if (IsSkipped()) return;
  auto first = serve();
  ASSERT_NE(first->port(), 0);
  EXPECT_NE(first->listening().find("timers on"), std::string::npos) << first->listening();
  std::vector<std::string> ids;
  for (int i = 0; i < 5; ++i) {
    ids.push_back(first->start_run(slow_));
    ASSERT_FALSE(ids.back().empty());
  }
  ASSERT_TRUE(test::eventually([&] { return test::slow_app_pids(dir_).size() == 5; }, 20s));
  const int dead = first->pid();
  first->stop(SIGKILL);

  // No app outlives the server: every app's process group is gone within a second.
  const std::vector<int> apps = test::slow_app_pids(dir_);
  EXPECT_TRUE(test::eventually(
      [&] {
        for (int pgid : apps) {
          if (!test::live_members_of_group(pgid).empty()) return false;
        }
        return true;
      },
      1s));
  if (GetParam() != Stores::memory_kv) {
    EXPECT_EQ(counter("exec_sum"), "5");
  }
  for (const auto& id : ids) EXPECT_EQ(stored(id).state, "running") << id;

  // Restarted at once: it serves, holds the timers of the dead server, and has
  // closed the runs before it listens.
  auto second = serve();
  ASSERT_NE(second->port(), 0);
  EXPECT_TRUE(second->running());
  EXPECT_NE(second->listening().find("timers on"), std::string::npos) << second->listening();
  const std::string dead_owner = ":" + std::to_string(dead) + ":";
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    StoredRun run = stored(id);
    EXPECT_EQ(run.state, "interrupted");
    ASSERT_GE(run.results.size(), 3u);
    const std::string& record = run.results[run.results.size() - 2];
    EXPECT_EQ(record.rfind("[运行错误] run interrupted: ", 0), 0u) << record;
    EXPECT_NE(record.find(dead_owner), std::string::npos) << record;
    EXPECT_EQ(record.substr(record.size() - 8), " stopped") << record;
    EXPECT_EQ(run.results.back(), k_end_text);
    EXPECT_EQ(run.ends(), 1u);
  }
  Value health = second->health();
  EXPECT_EQ(health["exec_sum"], 0) << health.dump();
  EXPECT_EQ(health["runs_here"], 0) << health.dump();
  EXPECT_EQ(counter(slow_ + "&&exec_sum"), "0");
}

// A server that keeps running looks for orphaned runs every few seconds: those
// of a server killed beside it are closed without a restart.
TEST_P(ServeCrash, ARunningServerRepairsTheRunsOfAServerKilledBesideIt) {
  prepare(14);
  if (IsSkipped()) return;
  auto keeper = serve();
  auto other = serve({"--no-timers"});
  ASSERT_NE(keeper->port(), 0);
  ASSERT_NE(other->port(), 0);
  const std::string id = other->start_run(slow_);
  ASSERT_FALSE(id.empty());
  ASSERT_TRUE(test::eventually([&] { return test::slow_app_pids(dir_).size() == 1; }, 20s));
  other->stop(SIGKILL);
  EXPECT_TRUE(test::eventually([&] { return stored(id).state == "interrupted"; }, 15s))
      << stored(id).state;
  EXPECT_EQ(stored(id).ends(), 1u);
  EXPECT_EQ(keeper->health()["exec_sum"], 0);
  EXPECT_EQ(counter(slow_ + "&&exec_sum"), "0");
}

// Requests keep coming from several connections while the server is killed:
// every run answered 202 is closed by the next server, exactly once.
TEST_P(ServeCrash, EveryRunAnswered202BeforeAKillIsClosedOnceAfterIt) {
  prepare(12);
  if (IsSkipped()) return;
  auto first = serve();
  ASSERT_NE(first->port(), 0);
  constexpr int k_clients = 4;
  constexpr int k_requests = 100;  // per client
  std::atomic<int> answered{0};
  std::vector<std::vector<std::string>> accepted(k_clients);
  std::vector<std::thread> clients;
  for (int c = 0; c < k_clients; ++c) {
    clients.emplace_back([&, c] {
      for (int i = 0; i < k_requests; ++i) {
        std::string id = first->start_run(quick_);
        if (!id.empty()) accepted[c].push_back(std::move(id));
        ++answered;
      }
    });
  }
  // Killed mid-burst: a good part answered, more in flight.
  ASSERT_TRUE(test::eventually([&] { return answered >= k_clients * k_requests / 3; }, 60s));
  first->stop(SIGKILL);
  for (auto& client : clients) client.join();

  auto second = serve();
  ASSERT_NE(second->port(), 0);
  std::set<std::string> ids;
  for (const auto& some : accepted) ids.insert(some.begin(), some.end());
  std::size_t total = 0;
  for (const auto& some : accepted) total += some.size();
  EXPECT_EQ(ids.size(), total) << "an only_id was answered twice";
  EXPECT_GT(ids.size(), 0u);
  std::map<std::string, int> states;
  for (const auto& id : ids) {
    StoredRun run = stored(id);
    EXPECT_EQ(run.rows, 1u) << id;
    EXPECT_EQ(run.ends(), 1u) << id;
    ++states[run.state];
  }
  EXPECT_EQ(states.count("running") + states.count("repairing"), 0u);
  Value health = second->health();
  EXPECT_EQ(health["exec_sum"], 0) << health.dump();
  EXPECT_EQ(counter(quick_ + "&&exec_sum"), "0");
}

// SIGTERM with runs that outlast the grace: they are interrupted with a
// record, their apps stopped and their counters lowered before the exit.
TEST_P(ServeCrash, SigtermInterruptsRunsPastTheGraceBeforeItExits) {
  prepare(13);
  if (IsSkipped()) return;
  auto server = serve({"--shutdown-grace", "1"});
  ASSERT_NE(server->port(), 0);
  std::vector<std::string> ids;
  for (int i = 0; i < 2; ++i) {
    ids.push_back(server->start_run(slow_));
    ASSERT_FALSE(ids.back().empty());
  }
  ASSERT_TRUE(test::eventually([&] { return test::slow_app_pids(dir_).size() == 2; }, 20s));
  const int status = server->stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (int pgid : test::slow_app_pids(dir_)) {
    EXPECT_TRUE(test::live_members_of_group(pgid).empty()) << pgid;
  }
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    StoredRun run = stored(id);
    EXPECT_EQ(run.state, "interrupted");
    ASSERT_GE(run.results.size(), 3u);
    EXPECT_EQ(run.results[run.results.size() - 2].rfind("[运行错误] run interrupted: ", 0), 0u);
    EXPECT_EQ(run.results.back(), k_end_text);
  }
  EXPECT_EQ(counter("exec_sum"), "0");
  EXPECT_EQ(counter(slow_ + "&&exec_sum"), "0");
}

std::string stores_name(const ::testing::TestParamInfo<Stores>& info) {
  switch (info.param) {
    case Stores::embedded:
      return "SqliteAndItsKv";
    case Stores::memory_kv:
      return "SqliteAndMemoryKv";
    case Stores::live:
      return "PostgresAndRedis";
  }
  return "unknown";
}

INSTANTIATE_TEST_SUITE_P(Embedded, ServeCrash, ::testing::Values(Stores::embedded), stores_name);
INSTANTIATE_TEST_SUITE_P(MemoryKv, ServeCrash, ::testing::Values(Stores::memory_kv), stores_name);
INSTANTIATE_TEST_SUITE_P(Live, ServeCrash, ::testing::Values(Stores::live), stores_name);

}  // namespace
}  // namespace vqflow
