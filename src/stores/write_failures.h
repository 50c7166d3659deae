#pragma once
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace vqflow {

// The last failed write of a store, when and why, so that a health check can
// report a store that answers reads but refuses writes (a full disk, a
// read-only file). A write that succeeds afterwards clears it. Safe from any
// thread; the success path costs one atomic load while nothing failed.
class WriteFailures {
 public:
  using Clock = std::chrono::steady_clock;

  void failed(const std::string& text, Clock::time_point at = Clock::now());
  void succeeded();
  // The text of the last failure when it happened less than `window` before
  // `now` and no write succeeded since; absent otherwise.
  std::optional<std::string> recent(Clock::duration window,
                                    Clock::time_point now = Clock::now()) const;

 private:
  mutable std::mutex mutex_;
  std::atomic<bool> failing_{false};
  Clock::time_point at_;
  std::string text_;
};

// How long a failed write keeps a store reported as failing (unless a write
// succeeds first).
constexpr std::chrono::seconds k_write_failure_window{60};

}  // namespace vqflow
