#include "stores/record_writer.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <thread>

#include "base/errors.h"
#include "stores/async_stores.h"
#include "support/log_rows.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

using test::log_row;
using test::TempDir;

// Each writer task stores its rows one after another, as a run does, and notes
// what became of each.
boost::asio::awaitable<void> writer_task(RecordWriter& writer, std::string name, int rows,
                                         std::vector<std::string>& outcomes, Value status = 0) {
  for (int i = 0; i < rows; ++i) {
    try {
      boost::asio::awaitable<void> stored =
          writer.store("logs", log_row(name + std::to_string(i), status));
      co_await std::move(stored);
      outcomes.push_back(name + std::to_string(i) + " stored");
    } catch (const StoreError&) {
      outcomes.push_back(name + std::to_string(i) + " failed");
    }
  }
}

// Every case runs on the embedded store and on a live PostgreSQL, the latter
// also with its commits on the loop's own connections.
class RecordWriterTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam() != "sqlite") {
      std::optional<std::string> url = test::live_pg_url();
      if (!url) GTEST_SKIP() << "VQFLOW_TEST_PG is not set";
      url_ = *url;
      db_ = open_database(*url);
    } else {
      db_ = open_database(dir_.file("records.db"));
    }
    db_->init_schema();
  }

  std::vector<std::string> stored_ids() {
    std::vector<std::string> ids;
    for (const Row& row : db_->table("logs").get()) ids.push_back(row["only_id"]);
    return ids;
  }

  std::unique_ptr<RecordWriter> make_writer(std::size_t max_batch = 512) {
    auto writer = std::make_unique<RecordWriter>(db_, max_batch);
    if (GetParam() == "postgresql-loop") {
      writer->use_loop_store(loop_db(url_, db_, ioc_.get_executor(), failures_));
    }
    return writer;
  }

  TempDir dir_;
  std::string url_;
  std::shared_ptr<Database> db_;
  Counter failures_;
  boost::asio::io_context ioc_;
};

TEST_P(RecordWriterTest, ConcurrentRunsShareCommitsAndKeepTheirOrder) {
  auto writer_ptr = make_writer();
  RecordWriter& writer = *writer_ptr;
  std::vector<std::string> outcomes;
  for (const char* name : {"a", "b", "c", "d"}) {
    boost::asio::co_spawn(ioc_, writer_task(writer, name, 3, outcomes), boost::asio::detached);
  }
  ioc_.run();
  EXPECT_EQ(outcomes.size(), 12u);
  EXPECT_EQ(writer.rows(), 12u);
  EXPECT_EQ(writer.commits(), 3u);  // one per step, shared by the four runs
  const std::vector<std::string> ids = stored_ids();
  ASSERT_EQ(ids.size(), 12u);
  // Each run's rows keep their order.
  for (const char* name : {"a", "b", "c", "d"}) {
    std::vector<std::string> mine;
    for (const auto& id : ids)
      if (id[0] == name[0]) mine.push_back(id);
    EXPECT_EQ(mine, (std::vector<std::string>{std::string(name) + "0", std::string(name) + "1",
                                              std::string(name) + "2"}));
  }
}

TEST_P(RecordWriterTest, BadRowFailsOnlyItsOwnCaller) {
  auto writer_ptr = make_writer();
  RecordWriter& writer = *writer_ptr;
  std::vector<std::string> good;
  std::vector<std::string> bad;
  boost::asio::co_spawn(ioc_, writer_task(writer, "g", 2, good), boost::asio::detached);
  boost::asio::co_spawn(ioc_, writer_task(writer, "x", 1, bad, "text status"),
                        boost::asio::detached);
  ioc_.run();
  EXPECT_EQ(good, (std::vector<std::string>{"g0 stored", "g1 stored"}));
  EXPECT_EQ(bad, (std::vector<std::string>{"x0 failed"}));
  EXPECT_EQ(stored_ids(), (std::vector<std::string>{"g0", "g1"}));
}

TEST_P(RecordWriterTest, SmallBatchesSplitButStoreEverything) {
  auto writer_ptr = make_writer(2);
  RecordWriter& writer = *writer_ptr;
  std::vector<std::string> outcomes;
  for (const char* name : {"a", "b", "c", "d", "e"}) {
    boost::asio::co_spawn(ioc_, writer_task(writer, name, 2, outcomes), boost::asio::detached);
  }
  ioc_.run();
  EXPECT_EQ(stored_ids().size(), 10u);
  EXPECT_GE(writer.commits(), 5u);
}

TEST_P(RecordWriterTest, RowsQueuedWhenTheLoopStopsAreStoredAtShutdown) {
  std::vector<std::string> outcomes;
  {
    auto writer = make_writer();
    for (const char* name : {"a", "b"}) {
      boost::asio::co_spawn(ioc_, writer_task(*writer, name, 1, outcomes), boost::asio::detached);
    }
    ioc_.run_one();  // each task queues its row ...
    ioc_.run_one();
    ioc_.stop();  // ... but the flush never runs
    EXPECT_TRUE(stored_ids().empty());
  }
  EXPECT_EQ(stored_ids(), (std::vector<std::string>{"a0", "b0"}));
  EXPECT_TRUE(outcomes.empty());
}

TEST_P(RecordWriterTest, LoopsOnSeveralThreadsShareOneWriter) {
  auto writer_ptr = make_writer();
  RecordWriter& writer = *writer_ptr;
  std::vector<std::thread> threads;
  std::vector<std::vector<std::string>> outcomes(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        test::run_sync(writer_task(writer, "t" + std::to_string(t) + "_", 1, outcomes[t]));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(stored_ids().size(), 100u);
  for (const auto& mine : outcomes) EXPECT_EQ(mine.size(), 25u);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, RecordWriterTest, ::testing::Values("sqlite"));
INSTANTIATE_TEST_SUITE_P(LivePostgres, RecordWriterTest,
                         ::testing::Values("postgresql", "postgresql-loop"));

}  // namespace
}  // namespace vqflow
