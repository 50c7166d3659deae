#include "stores/record_writer.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/execution/context.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/query.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/require.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "base/errors.h"
#include "stores/async_stores.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

template <typename T>
using awaitable = boost::asio::awaitable<T>;

namespace {

// Rows of one transaction and what became of each. Kept apart from the timer
// that wakes the waiters, so the writer can store leftovers after the loop is gone.
struct Pending {
  std::shared_ptr<boost::asio::steady_timer> signal;  // cancelled once committed
  std::vector<TableRow> rows;
  std::vector<std::exception_ptr> errors;
  bool committed = false;
};

// Marks `pending` committed; the database remembers the last row that
// failed (`failure`, empty when none did), for its health.
void settle(Database& db, Pending& pending, const std::string& failure) {
  if (failure.empty()) {
    db.write_failures().succeeded();
  } else {
    db.write_failures().failed(failure);
  }
  pending.committed = true;
}

// Stores the rows in one transaction; when that fails, row by row, so that one
// bad row fails only its own caller.
void commit(Database& db, Pending& pending) {
  pending.errors.assign(pending.rows.size(), nullptr);
  std::string failure;
  try {
    db.insert_rows(pending.rows);
  } catch (const std::exception& e) {
    if (pending.rows.size() == 1) {
      pending.errors[0] = std::current_exception();
      failure = e.what();
    } else {
      for (std::size_t i = 0; i < pending.rows.size(); ++i) {
        try {
          db.insert(pending.rows[i].table, pending.rows[i].row);
        } catch (const std::exception& row_error) {
          pending.errors[i] = std::current_exception();
          failure = row_error.what();
        }
      }
    }
  }
  settle(db, pending, failure);
}

// As commit, through the loop's store.
boost::asio::awaitable<void> commit_async(AsyncDb& store, Database& db, Pending& pending) {
  pending.errors.assign(pending.rows.size(), nullptr);
  std::string failure;
  bool together = true;
  try {
    awaitable<void> stored = store.insert_rows(pending.rows);
    co_await std::move(stored);
  } catch (const std::exception& e) {
    together = false;
    if (pending.rows.size() == 1) {
      pending.errors[0] = std::current_exception();
      failure = e.what();
    }
  }
  if (!together && pending.rows.size() > 1) {
    for (std::size_t i = 0; i < pending.rows.size(); ++i) {
      try {
        awaitable<void> stored = store.insert_rows({pending.rows[i]});
        co_await std::move(stored);
      } catch (const std::exception& row_error) {
        pending.errors[i] = std::current_exception();
        failure = row_error.what();
      }
    }
  }
  settle(db, pending, failure);
}

// Batches are kept per event loop: executors of one io_context share them.
boost::asio::execution_context* loop_of(const boost::asio::any_io_executor& executor) {
  return &boost::asio::query(executor, boost::asio::execution::context);
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
  // Commits on the loop (see use_loop_store): whether one is out, and the
  // batches whose flush came meanwhile (they keep taking rows until their turn).
  std::shared_ptr<AsyncDb> loop_store;
  std::size_t committing = 0;  // transactions out
  std::deque<std::shared_ptr<Pending>> deferred;

  void close(const std::shared_ptr<Pending>& pending) {
    std::erase_if(open, [&](const OpenBatch& batch) { return batch.pending == pending; });
  }
  std::size_t commits = 0;
  std::size_t rows = 0;

  // The batch taking rows on `executor`'s loop, opened (and its flush posted)
  // when there is none. Caller holds `mutex`.
  OpenBatch& open_batch(std::shared_ptr<State> self, const boost::asio::any_io_executor& executor) {
    auto* loop = loop_of(executor);
    auto batch = std::find_if(open.begin(), open.end(),
                              [&](const OpenBatch& b) { return loop_of(b.executor) == loop; });
    if (batch != open.end()) return *batch;
    OpenBatch fresh{executor, std::make_shared<Pending>(),
                    std::make_shared<boost::asio::steady_timer>(
                        executor, boost::asio::steady_timer::time_point::max())};
    fresh.pending->signal = fresh.signal;
    queued.push_back(fresh.pending);
    // Posted, not run now: runs that are ready in this loop turn add their
    // rows (and key-value writes) first and share the transaction.
    auto flush = [state = std::move(self), rows = fresh.pending, wake = fresh.signal, executor]() {
      if (state->loop_store && state->loop_store->frees_loop()) {
        state->flush_on_loop(state, rows, executor);
        return;
      }
      state->flush(rows);
      wake->cancel();
    };
    boost::asio::post(executor, std::move(flush));
    open.push_back(std::move(fresh));
    return open.back();
  }

  void flush(const std::shared_ptr<Pending>& pending) {
    {
      std::lock_guard lock(mutex);
      close(pending);
      auto it = std::find(queued.begin(), queued.end(), pending);
      if (it == queued.end()) return;  // already stored
      queued.erase(it);
    }
    bool committed = store(*pending);
    std::lock_guard lock(mutex);
    if (committed) ++commits;
    rows += pending->rows.size();
  }

  // Takes `pending` out of the queue for its commit; false when it is gone
  // (stored already). Caller holds `mutex`.
  bool take(const std::shared_ptr<Pending>& pending) {
    close(pending);
    auto it = std::find(queued.begin(), queued.end(), pending);
    if (it == queued.end()) return false;
    queued.erase(it);
    return true;
  }

  void flush_on_loop(const std::shared_ptr<State>& self, const std::shared_ptr<Pending>& pending,
                     const boost::asio::any_io_executor& executor) {
    {
      std::lock_guard lock(mutex);
      if (committing >= loop_store->commit_slots()) {
        deferred.push_back(pending);
        return;
      }
      if (!take(pending)) return;
      ++committing;
    }
    boost::asio::co_spawn(executor, commit_on_loop(self, pending), boost::asio::detached);
  }

  // Commits `pending`, then each batch deferred meanwhile; at most
  // commit_slots() transactions are out at once.
  static boost::asio::awaitable<void> commit_on_loop(std::shared_ptr<State> self,
                                                     std::shared_ptr<Pending> pending) {
    while (pending) {
      awaitable<void> stored = commit_async(*self->loop_store, *self->db, *pending);
      co_await std::move(stored);
      pending->signal->cancel();
      std::lock_guard lock(self->mutex);
      if (!pending->rows.empty()) ++self->commits;
      self->rows += pending->rows.size();
      pending = nullptr;
      while (!pending && !self->deferred.empty()) {
        auto next = std::move(self->deferred.front());
        self->deferred.pop_front();
        if (self->take(next)) pending = std::move(next);
      }
      if (!pending) --self->committing;
    }
  }

  // Stores the rows and commits the writes the database held back for this
  // flush; true when anything was committed. Never throws.
  bool store(Pending& pending) {
    if (!pending.rows.empty()) commit(*db, pending);
    pending.committed = true;
    try {
      // After rows, normally nothing is left: they were committed together.
      return db->commit_pending() || !pending.rows.empty();
    } catch (const std::exception& e) {
      spdlog::error("held-back key-value writes lost: {}", e.what());
      db->write_failures().failed(e.what());
      return !pending.rows.empty();
    }
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
    state_->store(*pending);
    for (const auto& error : pending->errors) {
      if (!error) continue;
      try {
        std::rethrow_exception(error);
      } catch (const std::exception& e) {
        spdlog::error("record lost at shutdown: {}", e.what());
      }
    }
  }
  state_->store(*std::make_shared<Pending>());  // key-value writes held for a flush that never ran
}

boost::asio::awaitable<void> RecordWriter::store(std::string table, Row row) {
  auto executor = co_await boost::asio::this_coro::executor;
  std::shared_ptr<State> state = state_;
  std::shared_ptr<Pending> pending;
  std::shared_ptr<boost::asio::steady_timer> signal;
  std::size_t index = 0;
  {
    std::lock_guard lock(state->mutex);
    State::OpenBatch& batch = state->open_batch(state, executor);
    pending = batch.pending;
    signal = batch.signal;
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

std::function<bool()> RecordWriter::flush_arranger(boost::asio::any_io_executor executor) {
  std::weak_ptr<State> weak = state_;
  return [weak, executor]() {
    auto state = weak.lock();
    if (!state || !runs_here(executor)) return false;
    std::lock_guard lock(state->mutex);
    state->open_batch(state, executor);
    return true;
  };
}

void RecordWriter::use_loop_store(std::shared_ptr<AsyncDb> store) {
  std::lock_guard lock(state_->mutex);
  state_->loop_store = std::move(store);
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
