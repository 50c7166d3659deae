#pragma once
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <functional>
#include <vector>

#include "run/run_tracker.h"
#include "server/api.h"
#include "server/server.h"

namespace vqflow {

// The orderly end of a server: stops taking requests, lets this process's
// runs in progress close for at most `grace`, names each run still open in the
// process log (error level) and answers them, then closes every connection
// (waiting up to `close_wait` for clients to take their last messages).
// Runs on the server's loop; the caller stops the loop afterwards.
boost::asio::awaitable<std::vector<RunTracker::Run>> graceful_stop(
    Server* server, Api* api, std::chrono::milliseconds grace,
    std::chrono::milliseconds close_wait = std::chrono::seconds(2));

// Writes the process log line of each run of `api` that has not closed.
void log_cut_short_runs(const Api& api);

// On the calling coroutine's loop, checks `done` every `every` until it holds
// (true) or `limit` has passed in real time (false).
boost::asio::awaitable<bool> wait_until(
    std::function<bool()> done, std::chrono::milliseconds limit,
    std::chrono::milliseconds every = std::chrono::milliseconds(10));

}  // namespace vqflow
