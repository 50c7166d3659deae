#include <spdlog/spdlog.h>

#include <exception>

#include "base/utilities.h"
#include "records/checkpoints.h"
#include "run/auto.h"
#include "run/run_states.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

awaitable<void> Auto::end_run(int run_status, std::string uuid) {
  if (run_status == 1) {
    // Waiting for an audit decision: the resumed run writes the end record.
    std::exception_ptr failure;
    try {
      // Named first: g++ 12 destroys temporaries of a co_await expression twice.
      awaitable<void> stored = store_run_state(
          *this,
          waiting_row(*this, waiting_at.value_or(""), Time::get_date_time(*services()->clock)));
      co_await std::move(stored);
    } catch (...) {
      failure = std::current_exception();
    }
    if (!failure) drop_checkpoints();
    decr_sum(uuid);
    if (failure) std::rethrow_exception(failure);
    co_return;
  }
  // The run's state goes out before its end record, so an ended run's state is
  // complete; losing it fails nothing that is left to run.
  send_staged_kv();
  std::exception_ptr failure;
  try {
    awaitable<void> stored = add_execute_logs(uuid, end_app ? Value(*end_app) : Value(), "结束",
                                              "剧本执行结束", 0, "<span>剧本执行结束</span>");
    co_await std::move(stored);
    co_await add_report();
    // Before the counters go down: a crash between the two can leave them
    // raised, but never lowers them twice (recovery lowers those of runs
    // that are still "running").
    const std::string state = closing_state.empty() ? "done" : closing_state;
    awaitable<void> closed =
        store_run_state(*this, closed_row(only_id, state, failed_steps, aborted.value_or(""),
                                          Time::get_date_time(*services()->clock)));
    co_await std::move(closed);
  } catch (...) {
    // A failed record must not leave the run counted as in progress for ever.
    failure = std::current_exception();
  }
  if (!failure) drop_checkpoints();
  decr_sum(uuid);
  if (failure) std::rethrow_exception(failure);
}

void Auto::drop_checkpoints() {
  // Only once the run's state says it is over: until then a new walk needs them.
  if (!resumable) return;
  try {
    records::drop_checkpoints(*services()->db, only_id);
  } catch (const std::exception& error) {
    spdlog::error("run {}: checkpoints left behind: {}", only_id, error.what());
  }
}

void Auto::decr_sum(const std::string& uuid) {
  // Counters are lowered even when the staged writes cannot be sent.
  send_staged_kv();
  KvStore& store = *services()->kv;
  const std::vector<KvCount> steps = {{"exec_sum", false}, {uuid + "&&exec_sum", false}};
  const std::vector<long long> values = store.count_many(steps);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (values[i] < 0) store.set(steps[i].key, "0");
  }
}

}  // namespace vqflow
