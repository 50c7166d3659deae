#include "stores/write_failures.h"

namespace vqflow {

void WriteFailures::failed(const std::string& text, Clock::time_point at) {
  std::lock_guard lock(mutex_);
  at_ = at;
  text_ = text;
  failing_.store(true, std::memory_order_release);
}

void WriteFailures::succeeded() {
  if (!failing_.load(std::memory_order_acquire)) return;
  std::lock_guard lock(mutex_);
  failing_.store(false, std::memory_order_release);
}

std::optional<std::string> WriteFailures::recent(Clock::duration window,
                                                 Clock::time_point now) const {
  if (!failing_.load(std::memory_order_acquire)) return std::nullopt;
  std::lock_guard lock(mutex_);
  if (!failing_.load(std::memory_order_relaxed) || now - at_ >= window) return std::nullopt;
  return text_;
}

}  // namespace vqflow
