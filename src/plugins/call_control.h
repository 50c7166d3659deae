#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace vqflow {

// Asks the work of one run to stop (a cancel, or the process going down). Set
// once; whoever does work for the run subscribes to hear of it (an app call
// stops its process group). Safe from any thread; callbacks run on the thread
// that calls stop(), once each, and must only post or signal.
class StopSignal {
 public:
  // Stops with `reason`; later calls do nothing.
  void stop(const std::string& reason);
  bool stopped() const;
  // Absent until stopped.
  std::optional<std::string> reason() const;

  // Calls `on_stop` when the signal stops (at once, on this thread, if it has).
  // Answers the subscription's number for unsubscribe().
  std::uint64_t subscribe(std::function<void()> on_stop);
  void unsubscribe(std::uint64_t id);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> reason_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, std::function<void()>> subscribers_;
};

// Unsubscribes when it goes out of scope.
class StopSubscription {
 public:
  StopSubscription(std::shared_ptr<StopSignal> signal, std::function<void()> on_stop);
  ~StopSubscription();
  StopSubscription(const StopSubscription&) = delete;
  StopSubscription& operator=(const StopSubscription&) = delete;

 private:
  std::shared_ptr<StopSignal> signal_;
  std::uint64_t id_ = 0;
};

// What a caller tells one app call besides its arguments.
struct CallControl {
  // Names this call of this node in this run ("only_id:node:attempt"): the
  // same key again means the call is repeated after an interruption, so an app
  // can tell a repeat from a new call. Empty: none.
  std::string idempotency_key;
  // Stops the call (its process group) when it stops; null: never.
  std::shared_ptr<StopSignal> stop;
};

}  // namespace vqflow
