#include "stores/async_stores.h"

#include <boost/asio/execution/context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/require.hpp>

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace {

class InPlaceKv final : public AsyncKv {
 public:
  explicit InPlaceKv(std::shared_ptr<KvStore> store) : store_(std::move(store)) {}
  boost::asio::awaitable<void> set_many(std::vector<KvWrite> writes) override {
    store_->set_many(writes);
    co_return;
  }
  boost::asio::awaitable<std::vector<long long>> count_many(std::vector<KvCount> steps) override {
    co_return store_->count_many(steps);
  }
  boost::asio::awaitable<std::optional<std::string>> get(std::string key) override {
    co_return store_->get(key);
  }
  boost::asio::awaitable<bool> exists(std::string key) override { co_return store_->exists(key); }

 private:
  std::shared_ptr<KvStore> store_;
};

class InPlaceDb final : public AsyncDb {
 public:
  explicit InPlaceDb(std::shared_ptr<Database> store) : store_(std::move(store)) {}
  boost::asio::awaitable<std::vector<Row>> select(Query query,
                                                  std::optional<long long> limit) override {
    co_return store_->select(query, limit);
  }
  boost::asio::awaitable<void> insert_rows(std::vector<TableRow> rows) override {
    store_->insert_rows(rows);
    co_return;
  }
  bool frees_loop() const override { return false; }

 private:
  std::shared_ptr<Database> store_;
};

}  // namespace

std::shared_ptr<AsyncKv> in_place_kv(std::shared_ptr<KvStore> store) {
  return std::make_shared<InPlaceKv>(std::move(store));
}

std::shared_ptr<AsyncDb> in_place_db(std::shared_ptr<Database> store) {
  return std::make_shared<InPlaceDb>(std::move(store));
}

bool runs_here(const boost::asio::any_io_executor& executor) {
  using plain = boost::asio::io_context::executor_type;
  using tracked = decltype(boost::asio::require(std::declval<plain>(),
                                                boost::asio::execution::outstanding_work.tracked));
  if (!executor) return false;
  if (const auto* e = executor.target<plain>()) return e->running_in_this_thread();
  if (const auto* e = executor.target<tracked>()) return e->running_in_this_thread();
  return false;
}

}  // namespace vqflow
