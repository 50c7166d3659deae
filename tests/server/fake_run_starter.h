#pragma once
#include <fmt/format.h>

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "base/errors.h"
#include "base/spawn_logged.h"
#include "server/api.h"

namespace vqflow::test {

// Stands in for the engine: every started run sends `messages_per_run` live
// messages to its connection (one per loop turn) and then closes, unless the
// starter holds runs open until release(). Records what it was asked.
class FakeRunStarter : public std::enable_shared_from_this<FakeRunStarter> {
 public:
  explicit FakeRunStarter(boost::asio::io_context& ioc) : ioc_(ioc) {}

  struct Started {
    std::string uuid;
    RunRequest request;
    bool has_connection = false;
  };

  RunStarter starter() {
    return [self = shared_from_this()](std::string uuid, std::shared_ptr<ClientConnection> s,
                                       RunRequest request, RunFinished on_finished,
                                       RunRecorded on_recorded) {
      return self->start(std::move(uuid), std::move(s), std::move(request), std::move(on_finished),
                         std::move(on_recorded));
    };
  }

  std::vector<Started> started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return started_.size();
  }
  // Blocks until `n` runs have been started (true) or `limit` has passed.
  bool wait_started(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    std::unique_lock lock(mutex_);
    return started_changed_.wait_for(lock, limit, [&] { return started_.size() >= n; });
  }
  // Lets held runs close (call on any thread).
  void release() {
    held_ = false;
    boost::asio::post(ioc_, [self = shared_from_this()] {
      for (auto* gate : self->gates_) gate->cancel();
    });
  }

  int messages_per_run = 3;
  std::atomic<bool> held_{false};
  bool throw_config_error = false;
  std::atomic<bool> record_failure{false};

  static std::string message(const std::string& only_id, int i) {
    return fmt::format(R"({{"method": "execute_log", "data": {{"only_id": "{}", "n": {}}}}})",
                       only_id, i);
  }

 private:
  std::string start(std::string uuid, std::shared_ptr<ClientConnection> s, RunRequest request,
                    RunFinished on_finished, RunRecorded on_recorded) {
    if (throw_config_error) throw ConfigError("controller_data: not a JSON object");
    std::string only_id;
    {
      std::lock_guard lock(mutex_);
      only_id = fmt::format("fake{:06d}", started_.size());
      started_.push_back({uuid, request, s != nullptr});
    }
    started_changed_.notify_all();
    spawn_logged(ioc_, play(shared_from_this(), only_id, s, on_finished, on_recorded),
                 "fake run " + only_id);
    return only_id;
  }

  static boost::asio::awaitable<void> play(std::shared_ptr<FakeRunStarter> self,
                                           std::string only_id, std::shared_ptr<ClientConnection> s,
                                           RunFinished on_finished, RunRecorded on_recorded) {
    namespace net = boost::asio;
    // Stored at once, unless told to fail (then the run goes no further).
    if (on_recorded) {
      if (self->record_failure) {
        on_recorded(std::make_exception_ptr(StoreError("fake store: the run's row not stored")));
        RunOutcome aborted;
        aborted.only_id = only_id;
        aborted.state = "aborted";
        if (on_finished) on_finished(aborted);
        co_return;
      }
      on_recorded(nullptr);
    }
    for (int i = 0; i < self->messages_per_run; ++i) {
      if (s) {
        try {
          s->send(message(only_id, i));
        } catch (const std::exception&) {
        }
      }
      co_await net::post(self->ioc_, net::use_awaitable);
    }
    // A held run waits for release(), which cancels its gate; release() clears
    // held_ before it posts, so a run that reads held_ after that never waits.
    net::steady_timer gate(self->ioc_, net::steady_timer::time_point::max());
    boost::system::error_code ec;
    if (self->held_) {
      self->gates_.insert(&gate);
      co_await gate.async_wait(net::redirect_error(net::use_awaitable, ec));
      self->gates_.erase(&gate);
    }
    if (on_finished) {
      RunOutcome outcome;
      outcome.only_id = only_id;
      outcome.state = "done";
      on_finished(outcome);
    }
  }

  boost::asio::io_context& ioc_;
  mutable std::mutex mutex_;
  std::condition_variable started_changed_;
  std::vector<Started> started_;
  std::set<boost::asio::steady_timer*> gates_;  // held runs; touched on ioc_ only
};

}  // namespace vqflow::test
