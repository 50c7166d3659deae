#pragma once
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <exception>
#include <functional>
#include <string>
#include <utility>

namespace vqflow {

// True when `error` is a cancellation (a system_error of operation_aborted):
// the way stopped work ends, not a failure.
bool is_cancellation(std::exception_ptr error);

// The process log's error line for an exception that escaped `what`:
// "{what} failed: {describe_exception}". Nothing for a null error or a
// cancellation. Never throws, so destructors may call it.
void log_escaped(const std::string& what, std::exception_ptr error) noexcept;

// Starts `work` on `where` (an executor or an execution context) with nobody
// waiting for its end. An exception that escapes it is logged (log_escaped);
// then `then`, when given, is called with it (null on success) on the work's
// executor.
template <typename Where>
void spawn_logged(Where&& where, boost::asio::awaitable<void> work, std::string what,
                  std::function<void(std::exception_ptr)> then = nullptr) {
  boost::asio::co_spawn(std::forward<Where>(where), std::move(work),
                        [what = std::move(what), then = std::move(then)](std::exception_ptr error) {
                          log_escaped(what, error);
                          if (then) then(error);
                        });
}

}  // namespace vqflow
