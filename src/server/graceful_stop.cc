#include "server/graceful_stop.h"

#include <spdlog/spdlog.h>

#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace vqflow {

namespace net = boost::asio;

net::awaitable<bool> wait_until(std::function<bool()> done, std::chrono::milliseconds limit,
                                std::chrono::milliseconds every) {
  // The deadline is the loop timer's own (steady) clock: a real wait.
  net::steady_timer tick(co_await net::this_coro::executor);
  boost::system::error_code ec;
  const auto deadline = net::steady_timer::clock_type::now() + limit;
  while (!done()) {
    if (net::steady_timer::clock_type::now() >= deadline) co_return false;
    tick.expires_after(every);
    co_await tick.async_wait(net::redirect_error(net::use_awaitable, ec));
  }
  co_return true;
}

void log_cut_short_runs(const Api& api) {
  for (const auto& run : api.tracker()->runs()) {
    spdlog::error("{} {} run cut short: the server stopped before the run closed",
                  run.only_id.empty() ? "-" : run.only_id, run.uuid);
  }
}

net::awaitable<std::vector<RunTracker::Run>> graceful_stop(Server* server, Api* api,
                                                           std::chrono::milliseconds grace,
                                                           std::chrono::milliseconds close_wait) {
  std::shared_ptr<RunTracker> tracker = api->tracker();
  spdlog::info("vqflow serve: stopping; waiting up to {} ms for {} run(s) in progress",
               grace.count(), tracker->in_progress());
  server->stop_accepting();
  // Named first: g++ 12 destroys a closure temporary of a co_await
  // expression twice.
  std::function<bool()> runs_closed = [tracker] { return tracker->in_progress() == 0; };
  co_await wait_until(runs_closed, grace);
  std::vector<RunTracker::Run> cut_short = tracker->runs();
  log_cut_short_runs(*api);
  server->close_all();
  std::function<bool()> all_closed = [server] { return server->connections() == 0; };
  co_await wait_until(all_closed, close_wait);
  co_return cut_short;
}

}  // namespace vqflow
