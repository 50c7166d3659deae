#pragma once
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vqflow {

// Pieces that let a persistent worker's calls be served on the event loops of
// the coroutines awaiting them, rather than on a loop of the host's own.

// Resumes a coroutine waiting for its call, on the coroutine's own executor.
class Wake {
 public:
  virtual ~Wake() = default;
  virtual void fire() = 0;  // posts the resumption; later calls do nothing
};

template <typename Handler>
class HandlerWake : public Wake {
 public:
  explicit HandlerWake(Handler handler)
      : handler_(std::move(handler)),
        executor_(boost::asio::prefer(boost::asio::get_associated_executor(handler_),
                                      boost::asio::execution::outstanding_work.tracked)) {}
  // Never leaves a coroutine waiting forever: it resumes and finds its call
  // unanswered.
  ~HandlerWake() override { fire(); }
  void fire() override {
    if (fired_) return;
    fired_ = true;
    auto executor = std::move(executor_);
    boost::asio::post(executor, [handler = std::move(handler_)]() mutable { handler(); });
  }

 private:
  Handler handler_;
  decltype(boost::asio::prefer(std::declval<boost::asio::associated_executor_t<Handler>>(),
                               boost::asio::execution::outstanding_work.tracked)) executor_;
  bool fired_ = false;
};

using Wakes = std::vector<std::unique_ptr<Wake>>;

// A pipe registered with the event loop of a call that reads it. It is kept
// between reads, so that a loop that calls again reads without registering
// again; a service of the loop drops it when the loop goes away. Any thread.
struct Registration {
  std::mutex mutex;
  boost::asio::execution_context* context = nullptr;
  std::unique_ptr<boost::asio::posix::stream_descriptor> descriptor;  // null once dropped

  // Deregisters the descriptor without closing it: the pipe stays open.
  void drop();
};

// Drops the registrations of one event loop before its reactor shuts down.
class RegistrationService : public boost::asio::execution_context::service {
 public:
  static inline boost::asio::execution_context::id id;

  explicit RegistrationService(boost::asio::execution_context& context) : service(context) {}

  void add(const std::shared_ptr<Registration>& registration);

 private:
  // Runs before the loop's reactor shuts down (services stop in the reverse
  // order of their creation, and this one comes after the first registration).
  void shutdown() override;

  std::mutex mutex_;
  std::vector<std::weak_ptr<Registration>> registrations_;
};

}  // namespace vqflow
