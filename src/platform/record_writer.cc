#include "platform/record_writer.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <exception>
#include <mutex>
#include <vector>

#include "platform/errors.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace {

// Rows of one transaction and what became of each. Kept apart from the timer
// that wakes the waiters, so the writer can store leftovers after the loop is gone.
struct Pending {
  std::vector<TableRow> rows;
  std::vector<std::exception_ptr> errors;
  bool committed = false;
};

// Stores the rows in one transaction; when that fails, row by row, so that one
// bad row fails only its own caller.
void commit(Database& db, Pending& pending) {
  pending.errors.assign(pending.rows.size(), nullptr);
  try {
    db.insert_rows(pending.rows);
  } catch (...) {
    if (pending.rows.size() == 1) {
      pending.errors[0] = std::current_exception();
    } else {
      for (std::size_t i = 0; i < pending.rows.size(); ++i) {
        try {
          db.insert(pending.rows[i].table, pending.rows[i].row);
        } catch (...) {
          pending.errors[i] = std::current_exception();
        }
      }
    }
  }
  pending.committed = true;
}

}  // namespace

struct RecordWriter::State {
  std::shared_ptr<Database> db;
  std::size_t max_batch;
  std::mutex mutex;
  // The batch still taking rows on each event loop (a batch's waiters must all
  // be on the loop that runs its flush), and every batch whose flush has not run.
  struct OpenBatch {
    boost::asio::any_io_executor executor;
    std::shared_ptr<Pending> pending;
    std::shared_ptr<boost::asio::steady_timer> signal;
  };
  std::vector<OpenBatch> open;
  std::vector<std::shared_ptr<Pending>> queued;

  void close(const std::shared_ptr<Pending>& pending) {
    std::erase_if(open, [&](const OpenBatch& batch) { return batch.pending == pending; });
  }
  std::size_t commits = 0;
  std::size_t rows = 0;

  void flush(const std::shared_ptr<Pending>& pending) {
    {
      std::lock_guard lock(mutex);
      close(pending);
      auto it = std::find(queued.begin(), queued.end(), pending);
      if (it == queued.end()) return;  // already stored
      queued.erase(it);
    }
    commit(*db, *pending);
    std::lock_guard lock(mutex);
    ++commits;
    rows += pending->rows.size();
  }
};

RecordWriter::RecordWriter(std::shared_ptr<Database> db, std::size_t max_batch)
    : state_(std::make_shared<State>()) {
  state_->db = std::move(db);
  state_->max_batch = max_batch == 0 ? 1 : max_batch;
}

RecordWriter::~RecordWriter() {
  std::vector<std::shared_ptr<Pending>> leftovers;
  {
    std::lock_guard lock(state_->mutex);
    leftovers.swap(state_->queued);
    state_->open.clear();
  }
  for (const auto& pending : leftovers) {
    commit(*state_->db, *pending);
    for (const auto& error : pending->errors) {
      if (!error) continue;
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        spdlog::error("record lost at shutdown: {}", e.what());
      }
    }
  }
}

boost::asio::awaitable<void> RecordWriter::store(std::string table, Row row) {
  auto executor = co_await boost::asio::this_coro::executor;
  std::shared_ptr<State> state = state_;
  std::shared_ptr<Pending> pending;
  std::shared_ptr<boost::asio::steady_timer> signal;
  std::size_t index = 0;
  {
    std::lock_guard lock(state->mutex);
    auto batch = std::find_if(state->open.begin(), state->open.end(),
                              [&](const State::OpenBatch& b) { return b.executor == executor; });
    if (batch == state->open.end()) {
      State::OpenBatch fresh{executor, std::make_shared<Pending>(),
                             std::make_shared<boost::asio::steady_timer>(
                                 executor, boost::asio::steady_timer::time_point::max())};
      state->queued.push_back(fresh.pending);
      // Posted, not run now: runs that are ready in this loop turn add their
      // rows first and share the transaction.
      auto flush = [state, rows = fresh.pending, wake = fresh.signal]() {
        state->flush(rows);
        wake->cancel();
      };
      boost::asio::post(executor, std::move(flush));
      state->open.push_back(std::move(fresh));
      batch = std::prev(state->open.end());
    }
    pending = batch->pending;
    signal = batch->signal;
    index = pending->rows.size();
    pending->rows.push_back(TableRow{std::move(table), std::move(row)});
    if (pending->rows.size() >= state->max_batch) state->close(pending);
  }
  while (!pending->committed) {
    boost::system::error_code ignored;
    co_await signal->async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ignored));
  }
  if (pending->errors[index]) std::rethrow_exception(pending->errors[index]);
}

std::size_t RecordWriter::commits() const {
  std::lock_guard lock(state_->mutex);
  return state_->commits;
}

std::size_t RecordWriter::rows() const {
  std::lock_guard lock(state_->mutex);
  return state_->rows;
}

}  // namespace vqflow
