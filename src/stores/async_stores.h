#pragma once
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/metrics.h"
#include "stores/database.h"
#include "stores/kv_store.h"

namespace vqflow {

// The store calls a run awaits on its event loop. With Redis and PostgreSQL
// they travel on the loop's own connections and the loop goes on with other
// runs until the answer is in; the embedded stores answer in place. Called
// from a thread that is not running the loop, every call goes to the
// blocking store instead (same answers, same failures). Failures throw
// StoreError, as the blocking stores do.
class AsyncKv {
 public:
  virtual ~AsyncKv() = default;
  // As KvStore::set_many and count_many: one round trip each.
  virtual boost::asio::awaitable<void> set_many(std::vector<KvWrite> writes) = 0;
  virtual boost::asio::awaitable<std::vector<long long>> count_many(std::vector<KvCount> steps) = 0;
  virtual boost::asio::awaitable<std::optional<std::string>> get(std::string key) = 0;
  virtual boost::asio::awaitable<bool> exists(std::string key) = 0;
};

class AsyncDb {
 public:
  virtual ~AsyncDb() = default;
  virtual boost::asio::awaitable<std::vector<Row>> select(Query query,
                                                          std::optional<long long> limit) = 0;
  // As Database::insert_rows: all rows in one transaction, or none.
  virtual boost::asio::awaitable<void> insert_rows(std::vector<TableRow> rows) = 0;
  // Whether calls made now, from this thread, leave the loop free while
  // they wait (false: they block, as the store they fall back to does).
  virtual bool frees_loop() const = 0;
  // How many insert_rows calls may be out at once to good effect (each has
  // a connection of its own; the server shares one flush among commits that
  // arrive together).
  virtual std::size_t commit_slots() const { return 1; }
};

// Calls `store` in place (the embedded stores, and tests that wrap a store).
std::shared_ptr<AsyncKv> in_place_kv(std::shared_ptr<KvStore> store);
std::shared_ptr<AsyncDb> in_place_db(std::shared_ptr<Database> store);

// The loop-side stores for the URLs of a server key-value store and a server
// database, on `executor`'s loop (one thread runs it); `kv` and `db` are the
// blocking stores of the same URLs, used off the loop and for the health
// check's record of failed writes. Stores that are not servers answer in
// place. Failures are counted in the two counters, as the blocking stores'.
std::shared_ptr<AsyncKv> loop_kv(const std::string& kv_url, std::shared_ptr<KvStore> kv,
                                 boost::asio::any_io_executor executor, Counter& failures);
std::shared_ptr<AsyncDb> loop_db(const std::string& db_url, std::shared_ptr<Database> db,
                                 boost::asio::any_io_executor executor, Counter& failures);

// The answer of `call`; a StoreError it throws is counted in `failures` first.
template <typename T>
boost::asio::awaitable<T> counting_failure(boost::asio::awaitable<T> call, Counter& failures) {
  try {
    co_return co_await std::move(call);
  } catch (const StoreError&) {
    failures.add();
    throw;
  }
}

// True on a thread that is running `executor`'s io_context.
bool runs_here(const boost::asio::any_io_executor& executor);

}  // namespace vqflow
