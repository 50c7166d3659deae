#pragma once
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <string>

#include "stores/async_stores.h"
#include "stores/database.h"

namespace vqflow {

// Group commit of records (execution logs, reports, audits). A row handed in
// by a run is queued, and one flush posted to the run's event loop inserts
// every row queued by then in one transaction; each caller resumes only once
// its own row is committed. Concurrent runs on one loop thus share commits,
// while a lone run pays one commit per record, as with plain inserts.
//
// A crash can lose only rows whose transaction had not committed; none of
// their runs has gone past them (at most max_batch rows per transaction).
// Rows still queued when the writer is destroyed (a loop stopped mid-batch)
// are stored by the destructor, so a clean shutdown loses nothing.
// With the embedded store, key-value writes made on the loop wait for the
// next flush (see flush_arranger) and are committed with its rows.
class RecordWriter {
 public:
  explicit RecordWriter(std::shared_ptr<Database> db, std::size_t max_batch = 512);
  ~RecordWriter();
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Inserts `row` into `table` together with the rows of other runs queued in
  // the same loop turn. Throws StoreError when this row could not be stored;
  // a bad row never fails the rows it shared a transaction with.
  boost::asio::awaitable<void> store(std::string table, Row row);

  // For Database::hold_kv_commits: on a thread running `executor`'s loop, makes
  // sure a flush follows on that loop (key-value writes held until then share
  // its commit) and answers true; elsewhere answers false. The io_context must
  // outlive every call of the answer (services go before their loop).
  std::function<bool()> flush_arranger(boost::asio::any_io_executor executor);

  // Commits through `store` when it frees the loop (a server database): the
  // loop goes on while transactions are out (at most store.commit_slots()),
  // and rows that come meanwhile wait for the next free one. Before any row
  // is stored.
  void use_loop_store(std::shared_ptr<AsyncDb> store);

  // Number of transactions and rows committed so far (for benchmarks and tests).
  std::size_t commits() const;
  std::size_t rows() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vqflow
