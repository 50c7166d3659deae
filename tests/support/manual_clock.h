#pragma once
#include <atomic>
#include <chrono>
#include <memory>

#include "base/clock.h"

namespace vqflow::test {

// A clock that moves only when the test says so. advance() moves wall and
// steady time together; set_wall() puts the calendar anywhere, as setting the
// system time would, and leaves steady time where it is. Safe to read from any
// thread while the test moves it.
class ManualClock final : public Clock {
 public:
  using WallTime = std::chrono::system_clock::time_point;

  // 2023-11-14 22:13:20 UTC unless told otherwise.
  explicit ManualClock(WallTime start = WallTime(std::chrono::seconds(1'700'000'000)))
      : wall_(start.time_since_epoch().count()) {}

  static std::shared_ptr<ManualClock> make(WallTime start) {
    return std::make_shared<ManualClock>(start);
  }
  static std::shared_ptr<ManualClock> make() { return std::make_shared<ManualClock>(); }

  WallTime wall_now() const override { return WallTime(WallTime::duration(wall_.load())); }
  std::chrono::steady_clock::time_point steady_now() const override {
    return std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(steady_.load()));
  }

  void advance(std::chrono::nanoseconds by) {
    wall_ += std::chrono::duration_cast<WallTime::duration>(by).count();
    steady_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(by).count();
  }
  void set_wall(WallTime wall) { wall_ = wall.time_since_epoch().count(); }

 private:
  std::atomic<WallTime::rep> wall_;
  std::atomic<std::chrono::steady_clock::rep> steady_{0};
};

}  // namespace vqflow::test
