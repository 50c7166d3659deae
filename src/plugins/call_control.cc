#include "plugins/call_control.h"

#include <vector>

namespace vqflow {

void StopSignal::stop(const std::string& reason) {
  std::vector<std::function<void()>> callbacks;
  {
    std::lock_guard lock(mutex_);
    if (reason_) return;
    reason_ = reason;
    for (auto& [id, callback] : subscribers_) callbacks.push_back(std::move(callback));
    subscribers_.clear();
  }
  for (auto& callback : callbacks) callback();
}

bool StopSignal::stopped() const {
  std::lock_guard lock(mutex_);
  return reason_.has_value();
}

std::optional<std::string> StopSignal::reason() const {
  std::lock_guard lock(mutex_);
  return reason_;
}

std::uint64_t StopSignal::subscribe(std::function<void()> on_stop) {
  {
    std::lock_guard lock(mutex_);
    if (!reason_) {
      const std::uint64_t id = next_++;
      subscribers_.emplace(id, std::move(on_stop));
      return id;
    }
  }
  on_stop();
  return 0;
}

void StopSignal::unsubscribe(std::uint64_t id) {
  std::lock_guard lock(mutex_);
  subscribers_.erase(id);
}

StopSubscription::StopSubscription(std::shared_ptr<StopSignal> signal,
                                   std::function<void()> on_stop)
    : signal_(std::move(signal)) {
  if (signal_) id_ = signal_->subscribe(std::move(on_stop));
}

StopSubscription::~StopSubscription() {
  if (signal_ && id_ != 0) signal_->unsubscribe(id_);
}

}  // namespace vqflow
