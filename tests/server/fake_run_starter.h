#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "base/errors.h"
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
                                       RunRequest request, RunFinished on_finished) {
      return self->start(std::move(uuid), std::move(s), std::move(request), std::move(on_finished));
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
  // Lets held runs close (call on any thread).
  void release() { held_ = false; }

  int messages_per_run = 3;
  std::atomic<bool> held_{false};
  bool throw_config_error = false;

  static std::string message(const std::string& only_id, int i) {
    return fmt::format(R"({{"method": "execute_log", "data": {{"only_id": "{}", "n": {}}}}})",
                       only_id, i);
  }

 private:
  std::string start(std::string uuid, std::shared_ptr<ClientConnection> s, RunRequest request,
                    RunFinished on_finished) {
    if (throw_config_error) throw ConfigError("controller_data: not a JSON object");
    std::string only_id;
    {
      std::lock_guard lock(mutex_);
      only_id = fmt::format("fake{:06d}", started_.size());
      started_.push_back({uuid, request, s != nullptr});
    }
    boost::asio::co_spawn(ioc_, play(shared_from_this(), only_id, s, on_finished),
                          boost::asio::detached);
    return only_id;
  }

  static boost::asio::awaitable<void> play(std::shared_ptr<FakeRunStarter> self,
                                           std::string only_id,
                                           std::shared_ptr<ClientConnection> s,
                                           RunFinished on_finished) {
    boost::asio::steady_timer tick(self->ioc_);
    boost::system::error_code ec;
    for (int i = 0; i < self->messages_per_run; ++i) {
      if (s) {
        try {
          s->send(message(only_id, i));
        } catch (const std::exception&) {
        }
      }
      tick.expires_after(std::chrono::milliseconds(1));
      co_await tick.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    }
    while (self->held_) {
      tick.expires_after(std::chrono::milliseconds(5));
      co_await tick.async_wait(boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    }
    if (on_finished) on_finished(RunOutcome{only_id, "done"});
  }

  boost::asio::io_context& ioc_;
  mutable std::mutex mutex_;
  std::vector<Started> started_;
};

}  // namespace vqflow::test
