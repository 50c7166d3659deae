#include <spdlog/spdlog.h>

#include <exception>
#include <utility>

#include "base/errors.h"
#include "base/utilities.h"
#include "records/checkpoints.h"
#include "run/auto.h"
#include "run/run_states.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

// The counters go down just before the state row that says the run is no
// longer running: with the embedded store both share one commit; with a
// key-value store of its own a crash between the two leaves them too low until
// the runs in progress close (the repair lowers them again, never below 0),
// never raised for ever. A failure to lower them is kept for after the row.
awaitable<void> Auto::end_run(int run_status, std::string uuid) {
  std::exception_ptr failure;
  auto lower = [&]() -> awaitable<void> {
    try {
      awaitable<void> lowered = decr_sum(uuid);
      co_await std::move(lowered);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  if (run_status == 1) {
    // Waiting for an audit decision: the resumed run writes the end record.
    awaitable<void> lowered = lower();
    co_await std::move(lowered);
    try {
      // Named first: g++ 12 destroys temporaries of a co_await expression twice.
      awaitable<void> stored = store_run_state(
          *this,
          waiting_row(*this, waiting_at.value_or(""), Time::get_date_time(*services()->clock)));
      co_await std::move(stored);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
    if (!failure) drop_checkpoints();
    if (failure) std::rethrow_exception(failure);
    co_return;
  }
  // The run's state goes out before its end record, so an ended run's state is
  // complete; losing it fails nothing that is left to run.
  awaitable<void> sent = send_staged_kv_on_loop();
  co_await std::move(sent);
  try {
    awaitable<void> stored = add_execute_logs(uuid, end_app ? Value(*end_app) : Value(), "结束",
                                              "剧本执行结束", 0, "<span>剧本执行结束</span>");
    co_await std::move(stored);
    co_await add_report();
    const std::string state = closing_state.empty() ? "done" : closing_state;
    awaitable<void> lowered = lower();
    co_await std::move(lowered);
    awaitable<void> closed =
        store_run_state(*this, closed_row(only_id, state, failed_steps, aborted.value_or(""),
                                          Time::get_date_time(*services()->clock)));
    co_await std::move(closed);
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (!failure) drop_checkpoints();
  // A failed record must not leave the run counted as in progress for ever.
  if (counted) {
    awaitable<void> lowered = lower();
    co_await std::move(lowered);
  }
  if (failure) std::rethrow_exception(failure);
}

void Auto::tell_recorded(std::exception_ptr failure) {
  if (on_recorded) std::exchange(on_recorded, nullptr)(std::move(failure));
}

awaitable<void> Auto::raise_sums(std::string uuid) {
  // Both in one round trip. When one cannot be raised (a stored value that is
  // not an integer), the other is lowered again before the run fails.
  counted = true;
  std::exception_ptr failure;
  try {
    awaitable<void> sent = send_staged_kv_on_loop();
    co_await std::move(sent);
    std::vector<KvCount> steps = {{"exec_sum", true}, {uuid + "&&exec_sum", true}};
    awaitable<std::vector<long long>> raised = loop_count(*services(), std::move(steps));
    co_await std::move(raised);
  } catch (const StoreError&) {
    failure = std::current_exception();
  }
  if (!failure) co_return;
  try {
    awaitable<void> lowered = decr_sum(uuid);
    co_await std::move(lowered);
  } catch (const StoreError&) {
    // The broken counter refuses this step too; the first failure is the one to report.
  }
  std::rethrow_exception(failure);
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

awaitable<void> Auto::decr_sum(std::string uuid) {
  // Counters are lowered even when the staged writes cannot be sent.
  awaitable<void> sent = send_staged_kv_on_loop();
  co_await std::move(sent);
  if (!counted) co_return;
  counted = false;
  const std::vector<KvCount> steps = {{"exec_sum", false}, {uuid + "&&exec_sum", false}};
  awaitable<std::vector<long long>> lowered = loop_count(*services(), steps);
  const std::vector<long long> values = co_await std::move(lowered);
  for (std::size_t i = 0; i < steps.size(); ++i) {
    if (values[i] < 0) services()->kv->set(steps[i].key, "0");
  }
}

}  // namespace vqflow
