#include "base/clock.h"

namespace vqflow {

namespace {

class SystemClock final : public Clock {
 public:
  std::chrono::system_clock::time_point wall_now() const override {
    return std::chrono::system_clock::now();
  }
  std::chrono::steady_clock::time_point steady_now() const override {
    return std::chrono::steady_clock::now();
  }
};

}  // namespace

long long Clock::wall_ms() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(wall_now().time_since_epoch())
      .count();
}

const std::shared_ptr<const Clock>& real_clock() {
  static const std::shared_ptr<const Clock> clock = std::make_shared<const SystemClock>();
  return clock;
}

}  // namespace vqflow
