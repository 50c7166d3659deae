// Key-value writes of the embedded store that wait for the record writer's
// next flush: one commit for both, read-your-writes, nothing lost on shutdown.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <thread>

#include "base/errors.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "stores/record_writer.h"
#include "stores/sqlite_connection.h"
#include "stores/sqlite_kv_store.h"
#include "support/log_rows.h"
#include "support/manual_clock.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

using test::log_row;
using test::TempDir;

// The wiring of open_services: tables and key-value table on one connection,
// key-value writes on the loop held for the writer's flush.
class SharedCommitTest : public ::testing::Test {
 protected:
  SharedCommitTest() : db_(open_database(dir_.file("vqflow.db"))) {
    db_->init_schema();
    kv_ = db_->embedded_kv();
    writer_ = std::make_unique<RecordWriter>(db_);
    db_->hold_kv_commits(writer_->flush_arranger(ioc_.get_executor()));
  }

  // What another process sees: a read-only connection of its own to the file
  // (opening a store would wait for the write lock that a held turn keeps).
  std::optional<std::string> read_elsewhere(const std::string& sql, const std::string& key) {
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(dir_.file("vqflow.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
              SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK);
    if (!key.empty())
      sqlite3_bind_blob(statement, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    std::optional<std::string> value;
    if (sqlite3_step(statement) == SQLITE_ROW) {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(statement, 0));
      value = std::string(bytes == nullptr ? "" : bytes,
                          static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
  }
  std::optional<std::string> seen_elsewhere(const std::string& key) {
    return read_elsewhere("SELECT value FROM kv WHERE key = ?1", key);
  }
  std::size_t logs_elsewhere() {
    return std::stoul(read_elsewhere("SELECT count(*) FROM logs", "").value_or("0"));
  }

  TempDir dir_;
  boost::asio::io_context ioc_;
  std::shared_ptr<Database> db_;
  std::unique_ptr<KvStore> kv_;
  std::unique_ptr<RecordWriter> writer_;
};

// A run's step: its key-value writes, a read of them, then its record.
boost::asio::awaitable<void> step(KvStore& kv, RecordWriter& writer, std::string name,
                                  std::vector<std::string>& outcomes, Value status = 0) {
  kv.set_many({KvWrite{name + "&&result", "ok", 60}, KvWrite{name + "&&status", "0", 60}});
  outcomes.push_back(name + " reads " + kv.get(name + "&&result").value_or("nothing"));
  kv.incr("exec_sum");
  try {
    co_await writer.store("logs", log_row(name, std::move(status)));
    outcomes.push_back(name + " stored");
  } catch (const StoreError&) {
    outcomes.push_back(name + " failed");
  }
}

boost::asio::awaitable<void> only_kv(KvStore& kv) {
  kv.set("alone", "1", 60);
  co_return;
}

boost::asio::awaitable<void> refused_counter(KvStore& kv, std::vector<std::string>& outcomes) {
  kv.set("word", "not a number", 60);
  kv.set("kept", "1", 60);
  try {
    kv.incr("word");
  } catch (const StoreError&) {
    outcomes.push_back("incr refused");
  }
  co_return;
}

// Counts up once per loop turn.
boost::asio::awaitable<void> bump(KvStore& kv) {
  for (int i = 0; i < 50; ++i) {
    kv.incr("n");
    boost::asio::steady_timer yield(co_await boost::asio::this_coro::executor);
    co_await yield.async_wait(boost::asio::use_awaitable);
  }
}

TEST_F(SharedCommitTest, KeyValueWritesAndRecordsOfOneTurnShareOneCommit) {
  std::vector<std::string> outcomes;
  for (const char* name : {"a", "b", "c"}) {
    boost::asio::co_spawn(ioc_, step(*kv_, *writer_, name, outcomes), boost::asio::detached);
  }
  ioc_.run();
  EXPECT_EQ(writer_->commits(), 1u);
  EXPECT_EQ(writer_->rows(), 3u);
  EXPECT_EQ(outcomes, (std::vector<std::string>{"a reads ok", "b reads ok", "c reads ok",
                                                "a stored", "b stored", "c stored"}));
  EXPECT_EQ(seen_elsewhere("b&&status"), "0");
  EXPECT_EQ(seen_elsewhere("exec_sum"), "3");
  EXPECT_EQ(logs_elsewhere(), 3u);
}

TEST_F(SharedCommitTest, HeldWritesAreReadHereButNotElsewhereUntilTheFlush) {
  std::vector<std::string> outcomes;
  boost::asio::co_spawn(ioc_, step(*kv_, *writer_, "a", outcomes), boost::asio::detached);
  ioc_.run_one();  // the step runs up to its record; the flush is still queued
  EXPECT_EQ(outcomes, std::vector<std::string>{"a reads ok"});
  EXPECT_EQ(kv_->get("a&&result"), "ok");
  EXPECT_EQ(seen_elsewhere("a&&result"), std::nullopt);
  EXPECT_EQ(logs_elsewhere(), 0u);
  ioc_.run();
  EXPECT_EQ(seen_elsewhere("a&&result"), "ok");
  EXPECT_EQ(logs_elsewhere(), 1u);
}

TEST_F(SharedCommitTest, WritesOffTheLoopCommitAtOnceWithWhatIsHeld) {
  std::vector<std::string> outcomes;
  boost::asio::co_spawn(ioc_, step(*kv_, *writer_, "a", outcomes), boost::asio::detached);
  ioc_.run_one();
  // This thread does not run the loop: its write is committed before it returns,
  // and takes the held writes of the loop along.
  kv_->set("cli", "1");
  EXPECT_EQ(seen_elsewhere("cli"), "1");
  EXPECT_EQ(seen_elsewhere("a&&result"), "ok");
  EXPECT_EQ(logs_elsewhere(), 0u);  // the record still waits for its flush
  ioc_.run();
  EXPECT_EQ(outcomes, (std::vector<std::string>{"a reads ok", "a stored"}));
  EXPECT_EQ(logs_elsewhere(), 1u);
}

TEST_F(SharedCommitTest, HeldWritesSurviveALoopStoppedBeforeItsFlush) {
  std::vector<std::string> outcomes;
  boost::asio::co_spawn(ioc_, step(*kv_, *writer_, "a", outcomes), boost::asio::detached);
  ioc_.run_one();
  ioc_.stop();
  EXPECT_EQ(seen_elsewhere("a&&result"), std::nullopt);
  writer_.reset();  // shutdown: the queued row and the held writes are stored
  EXPECT_EQ(seen_elsewhere("a&&result"), "ok");
  EXPECT_EQ(seen_elsewhere("exec_sum"), "1");
  EXPECT_EQ(logs_elsewhere(), 1u);
}

TEST_F(SharedCommitTest, HeldWritesWithoutAnyRecordAreCommittedByTheirOwnFlush) {
  boost::asio::co_spawn(ioc_, only_kv(*kv_), boost::asio::detached);
  ioc_.run();
  EXPECT_EQ(seen_elsewhere("alone"), "1");
  EXPECT_EQ(writer_->commits(), 1u);
  EXPECT_EQ(writer_->rows(), 0u);
}

TEST_F(SharedCommitTest, ARefusedRecordKeepsTheKeyValueWritesOfItsTurn) {
  std::vector<std::string> outcomes;
  boost::asio::co_spawn(ioc_, step(*kv_, *writer_, "good", outcomes), boost::asio::detached);
  boost::asio::co_spawn(ioc_, step(*kv_, *writer_, "bad", outcomes, "text status"),
                        boost::asio::detached);
  ioc_.run();
  EXPECT_EQ(outcomes, (std::vector<std::string>{"good reads ok", "bad reads ok", "good stored",
                                                "bad failed"}));
  EXPECT_EQ(seen_elsewhere("good&&result"), "ok");
  EXPECT_EQ(seen_elsewhere("bad&&result"), "ok");
  EXPECT_EQ(seen_elsewhere("exec_sum"), "2");
  EXPECT_EQ(logs_elsewhere(), 1u);
}

TEST_F(SharedCommitTest, AFailedCounterStepLeavesTheHeldWritesIntact) {
  std::vector<std::string> outcomes;
  boost::asio::co_spawn(ioc_, refused_counter(*kv_, outcomes), boost::asio::detached);
  ioc_.run();
  EXPECT_EQ(outcomes, std::vector<std::string>{"incr refused"});
  EXPECT_EQ(seen_elsewhere("kept"), "1");
  EXPECT_EQ(seen_elsewhere("word"), "not a number");
}

TEST_F(SharedCommitTest, CountersStayAtomicAcrossConnectionsWhileHeld) {
  // Each turn holds the write lock until its flush; another connection's steps
  // wait for it instead of interleaving.
  auto other = open_sqlite_kv_store(dir_.file("vqflow.db"));
  boost::asio::co_spawn(ioc_, bump(*kv_), boost::asio::detached);
  std::thread loop([&] { ioc_.run(); });
  for (int i = 0; i < 50; ++i) other->incr("n");
  loop.join();
  EXPECT_EQ(seen_elsewhere("n"), "100");
}

// However willing the arranger, a transaction is not held back for longer
// than 100 ms: the write that finds it that old commits it.
TEST(SharedSqliteHold, AHeldTransactionCommitsOnceItIsOldOnTheClock) {
  TempDir dir;
  auto clock = test::ManualClock::make();
  auto shared = std::make_shared<SharedSqlite>(dir.file("held.db"), clock);
  shared->hold_commits([] { return true; });
  auto kv = open_sqlite_kv_store(shared, clock);
  auto held = [&] {
    std::lock_guard lock(shared->mutex);
    return shared->holding();
  };
  kv->set("a", "1");
  EXPECT_TRUE(held());
  clock->advance(std::chrono::milliseconds(99));
  kv->set("b", "2");
  EXPECT_TRUE(held());
  clock->advance(std::chrono::milliseconds(1));
  kv->set("c", "3");
  EXPECT_FALSE(held());
  EXPECT_EQ(kv->get("b"), "2");
}

}  // namespace
}  // namespace vqflow
