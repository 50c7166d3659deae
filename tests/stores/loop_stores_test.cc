// The stores runs await on their loop, against a live Redis and PostgreSQL:
// answers as the blocking stores give them, many callers sharing one
// connection without mixing their answers, failures that fail their own call
// only, and calls from another thread served by the blocking store.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/use_future.hpp>

#include "base/errors.h"
#include "base/utilities.h"
#include "stores/async_stores.h"
#include "stores/memory_kv_store.h"
#include "support/log_rows.h"
#include "support/processes.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

using boost::asio::awaitable;

// Runs `task` on `ioc` (the loop the store belongs to) and answers its result.
template <typename T>
T on_loop(boost::asio::io_context& ioc, awaitable<T> task) {
  auto future = boost::asio::co_spawn(ioc, std::move(task), boost::asio::use_future);
  ioc.restart();
  ioc.run();
  return future.get();
}

class LoopRedisTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<std::string> url = test::live_redis_url();
    if (!url) GTEST_SKIP() << "VQFLOW_TEST_REDIS is not set";
    blocking_ = open_kv_store(*url, std::nullopt);
    kv_ = loop_kv(*url, blocking_, ioc_.get_executor(), failures_);
    prefix_ = "loop-test-" + Random::random_text(8) + "-";
  }

  boost::asio::io_context ioc_;
  Counter failures_;
  std::shared_ptr<KvStore> blocking_;
  std::shared_ptr<AsyncKv> kv_;
  std::string prefix_;
};

TEST_F(LoopRedisTest, AnswersAsTheBlockingStore) {
  const std::string a = prefix_ + "a", n = prefix_ + "n", text = prefix_ + "text";
  blocking_->set(text, "not a number");
  auto task = [&]() -> awaitable<std::vector<std::string>> {
    // Every awaitable is named first: g++ 12 mishandles temporaries of a co_await expression.
    std::vector<std::string> seen;
    auto set = kv_->set_many({{a, "1\r\n$x", std::nullopt}, {a, "2", 60}});
    co_await std::move(set);
    auto got = kv_->get(a);
    seen.push_back(co_await std::move(got) == std::optional<std::string>("2") ? "last write wins"
                                                                              : "wrong value");
    auto exists = kv_->exists(prefix_ + "missing");
    seen.push_back(co_await std::move(exists) ? "exists" : "missing");
    auto counting = kv_->count_many({{n, true}, {n, true}, {n, false}});
    const std::vector<long long> counts = co_await std::move(counting);
    seen.push_back(fmt::format("{},{},{}", counts[0], counts[1], counts[2]));
    try {
      auto refused = kv_->count_many({{n, true}, {text, true}});
      co_await std::move(refused);
      seen.push_back("no failure");
    } catch (const StoreError& e) {
      seen.push_back(std::string(e.what()).find("INCR") != std::string::npos ? "INCR refused"
                                                                             : e.what());
    }
    auto counted = kv_->get(n);  // the step beside the refused one was applied
    seen.push_back((co_await std::move(counted)).value_or("absent"));
    co_return seen;
  };
  EXPECT_EQ(on_loop(ioc_, task()),
            (std::vector<std::string>{"last write wins", "missing", "1,2,1", "INCR refused", "2"}));
  EXPECT_EQ(failures_.value(), 1u);
  EXPECT_EQ(blocking_->get(a), "2");
}

TEST_F(LoopRedisTest, ManyCallersShareTheConnectionWithoutMixingAnswers) {
  constexpr int k_callers = 300;
  std::vector<std::string> answers(k_callers);
  for (int i = 0; i < k_callers; ++i) {
    // Parameters, not captures: a coroutine frame keeps its parameters, while
    // the lambda (and its captures) is gone once co_spawn returns.
    auto caller = [](AsyncKv& kv, std::string key, std::string& answer, int i) -> awaitable<void> {
      auto set = kv.set_many({{key, "value " + std::to_string(i), 60}});
      co_await std::move(set);
      auto got = kv.get(key);
      answer = (co_await std::move(got)).value_or("absent");
    };
    boost::asio::co_spawn(
        ioc_, caller(*kv_, prefix_ + std::to_string(i), answers[static_cast<std::size_t>(i)], i),
        boost::asio::detached);
  }
  ioc_.run();
  for (int i = 0; i < k_callers; ++i) {
    EXPECT_EQ(answers[static_cast<std::size_t>(i)], "value " + std::to_string(i));
  }
}

TEST_F(LoopRedisTest, CallsOffTheLoopUseTheBlockingStore) {
  // No loop runs: a call made here must not wait for one.
  test::run_sync(kv_->set_many({{prefix_ + "off", "x", 60}}));
  EXPECT_EQ(blocking_->get(prefix_ + "off"), "x");
}

TEST(LoopRedisFailures, UnreachableServerFailsEveryCallerAndRecovers) {
  boost::asio::io_context ioc;
  Counter failures;
  // A port nothing listens on (the blocking store is only the fallback).
  auto kv = loop_kv("redis://127.0.0.1:1/0", make_memory_kv_store(), ioc.get_executor(), failures);
  auto caller = [&]() -> awaitable<std::string> {
    try {
      auto got = kv->get("k");
      co_await std::move(got);
      co_return "answered";
    } catch (const StoreError& e) {
      co_return std::string(e.what()).find("connect") != std::string::npos ? "refused" : e.what();
    }
  };
  for (int round = 0; round < 2; ++round) EXPECT_EQ(on_loop(ioc, caller()), "refused");
  EXPECT_EQ(failures.value(), 2u);
}

// A Redis server of the test's own, killed for real while the loop's
// connection to it is open.
class OwnRedis {
 public:
  OwnRedis() : port_(free_port()) { start(); }
  ~OwnRedis() { stop(); }
  std::string url() const { return "redis://127.0.0.1:" + std::to_string(port_) + "/0"; }
  void start() {
    const std::string port = std::to_string(port_);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::execlp("redis-server", "redis-server", "--port", port.c_str(), "--bind", "127.0.0.1",
               "--save", "", "--appendonly", "no", "--loglevel", "warning", nullptr);
      ::_exit(127);
    }
    up_ = test::eventually([&] {
      try {
        open_kv_store(url(), std::nullopt)->get("ping");
        return true;
      } catch (const StoreError&) {
        return false;
      }
    });
  }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  bool up() const { return up_; }

 private:
  static int free_port() {
    boost::asio::io_context ioc;
    boost::asio::ip::tcp::acceptor acceptor(
        ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
  }
  int port_;
  pid_t pid_ = -1;
  bool up_ = false;
};

TEST(LoopRedisFailures, AServerKilledMidConnectionFailsTheCallAndARestartIsUsedAgain) {
  if (::system("command -v redis-server >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "redis-server is not installed (scripts/install-deps.sh installs it)";
  }
  OwnRedis redis;
  ASSERT_TRUE(redis.up());
  boost::asio::io_context ioc;
  Counter failures;
  auto kv =
      loop_kv(redis.url(), open_kv_store(redis.url(), std::nullopt), ioc.get_executor(), failures);
  auto write_and_read = [&]() -> awaitable<std::string> {
    try {
      auto set = kv->set_many({{"k", "v", 60}});
      co_await std::move(set);
      auto got = kv->get("k");
      co_return (co_await std::move(got)).value_or("absent");
    } catch (const StoreError&) {
      co_return "failed";
    }
  };
  EXPECT_EQ(on_loop(ioc, write_and_read()), "v");
  redis.stop();
  EXPECT_EQ(on_loop(ioc, write_and_read()), "failed");  // not a hang
  redis.start();
  ASSERT_TRUE(redis.up());
  EXPECT_EQ(on_loop(ioc, write_and_read()), "v");  // a new connection
  EXPECT_GE(failures.value(), 1u);
}

class LoopPostgresTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<std::string> url = test::live_pg_url();
    if (!url) GTEST_SKIP() << "VQFLOW_TEST_PG is not set";
    blocking_ = open_database(*url);
    blocking_->init_schema();
    db_ = loop_db(*url, blocking_, ioc_.get_executor(), failures_);
  }

  std::vector<Row> logs(const std::string& only_id) {
    Query q = blocking_->table("logs").select({"only_id", "status"}).where("only_id", only_id);
    return on_loop(ioc_, db_->select(q, std::nullopt));
  }

  boost::asio::io_context ioc_;
  Counter failures_;
  std::shared_ptr<Database> blocking_;
  std::shared_ptr<AsyncDb> db_;
};

TEST_F(LoopPostgresTest, StoresAndReadsRows) {
  on_loop(ioc_, db_->insert_rows({{"logs", test::log_row("r1", 0)},
                                  {"logs", test::log_row("r1", 1)},
                                  {"report", Row{{"report_no", "r1"}, {"workflow_name", "w"}}}}));
  const std::vector<Row> rows = logs("r1");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["status"], 0);
  EXPECT_EQ(rows[1]["status"], 1);
  EXPECT_EQ(blocking_->table("report").where("report_no", "r1").get().size(), 1u);
}

TEST_F(LoopPostgresTest, AFailedStatementStoresNothingOfItsCallAndTheNextCallsGoOn) {
  // Table-driven: each bad call fails alone, its good rows are not stored,
  // and the connection is still in step for the next call.
  struct Case {
    const char* name;
    std::vector<TableRow> rows;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"server refuses a value",
       {{"report", Row{{"report_no", "b1"}, {"workflow_name", "w"}}},
        {"logs", test::log_row("b1", "not a number")}},
       "postgresql"},
      {"NUL byte refused before sending",
       {{"logs", test::log_row(std::string("b2\0x", 4), 0)}},
       "NUL"},
  };
  for (const Case& c : cases) {
    std::string failure;
    try {
      on_loop(ioc_, db_->insert_rows(c.rows));
    } catch (const StoreError& e) {
      failure = e.what();
    }
    EXPECT_NE(failure.find(c.message), std::string::npos) << c.name << ": " << failure;
    EXPECT_TRUE(logs("b1").empty()) << c.name;
    EXPECT_TRUE(blocking_->table("report").where("report_no", "b1").get().empty()) << c.name;
    on_loop(ioc_, db_->insert_rows({{"logs", test::log_row("after", 0)}}));
  }
  EXPECT_EQ(logs("after").size(), cases.size());
  EXPECT_EQ(failures_.value(), cases.size());
}

TEST_F(LoopPostgresTest, ConcurrentCallersGetTheirOwnRows) {
  constexpr int k_callers = 100;
  std::vector<std::size_t> seen(k_callers);
  for (int i = 0; i < k_callers; ++i) {
    auto caller = [](AsyncDb& db, Database& blocking, std::size_t& count,
                     int i) -> awaitable<void> {
      const std::string id = "c" + std::to_string(i);
      std::vector<TableRow> rows;
      for (int k = 0; k <= i % 3; ++k) rows.push_back({"logs", test::log_row(id, k)});
      auto stored = db.insert_rows(std::move(rows));
      co_await std::move(stored);
      auto read = db.select(blocking.table("logs").where("only_id", id), std::nullopt);
      count = (co_await std::move(read)).size();
    };
    boost::asio::co_spawn(ioc_, caller(*db_, *blocking_, seen[static_cast<std::size_t>(i)], i),
                          boost::asio::detached);
  }
  ioc_.run();
  for (int i = 0; i < k_callers; ++i) {
    EXPECT_EQ(seen[static_cast<std::size_t>(i)], static_cast<std::size_t>(i % 3 + 1)) << i;
  }
}

}  // namespace
}  // namespace vqflow
