#pragma once
#include <chrono>
#include <memory>

namespace vqflow {

// Where the process reads the time. Code that needs the time takes a Clock from
// its owner (options, Services) instead of asking the system, so that tests can
// move time by hand rather than sleep. Implementations are safe to call from
// any thread.
class Clock {
 public:
  virtual ~Clock() = default;
  // Calendar time (record dates, key expiry, timer fire times); jumps when the
  // system time is set.
  virtual std::chrono::system_clock::time_point wall_now() const = 0;
  // Never goes back: for how long something took or has left.
  virtual std::chrono::steady_clock::time_point steady_now() const = 0;

  // wall_now() in whole milliseconds since the Unix epoch.
  long long wall_ms() const;
};

// The system's clocks: one immutable instance for the whole process.
const std::shared_ptr<const Clock>& real_clock();

}  // namespace vqflow
