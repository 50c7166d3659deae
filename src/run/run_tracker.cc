#include "run/run_tracker.h"

#include <limits>

namespace vqflow {

std::uint64_t RunTracker::begin(const std::string& uuid) {
  return begin_within(uuid, std::numeric_limits<std::size_t>::max());
}

std::uint64_t RunTracker::begin_within(const std::string& uuid, std::size_t limit) {
  std::lock_guard lock(mutex_);
  if (runs_.size() >= limit) return 0;
  const std::uint64_t ticket = next_++;
  runs_[ticket] = Run{"", uuid};
  return ticket;
}

void RunTracker::name(std::uint64_t ticket, const std::string& only_id) {
  std::lock_guard lock(mutex_);
  if (auto it = runs_.find(ticket); it != runs_.end()) it->second.only_id = only_id;
}

void RunTracker::finish(std::uint64_t ticket) {
  std::lock_guard lock(mutex_);
  runs_.erase(ticket);
  if (runs_.empty()) idle_.notify_all();
}

std::size_t RunTracker::in_progress() const {
  std::lock_guard lock(mutex_);
  return runs_.size();
}

std::vector<RunTracker::Run> RunTracker::runs() const {
  std::lock_guard lock(mutex_);
  std::vector<Run> out;
  out.reserve(runs_.size());
  for (const auto& [ticket, run] : runs_) out.push_back(run);
  return out;
}

bool RunTracker::wait_idle(std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, limit, [this] { return runs_.empty(); });
}

}  // namespace vqflow
