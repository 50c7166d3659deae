#include "context/active_runs.h"

namespace vqflow {

void ActiveRuns::add(const std::string& only_id, std::shared_ptr<StopSignal> stop) {
  std::lock_guard lock(mutex_);
  runs_[only_id] = std::move(stop);
}

void ActiveRuns::remove(const std::string& only_id) {
  std::lock_guard lock(mutex_);
  runs_.erase(only_id);
}

bool ActiveRuns::stop(const std::string& only_id, const std::string& reason) {
  std::shared_ptr<StopSignal> signal;
  {
    std::lock_guard lock(mutex_);
    auto found = runs_.find(only_id);
    if (found == runs_.end()) return false;
    signal = found->second;
  }
  // Outside the lock: the signal's subscribers may post work that comes back here.
  signal->stop(reason);
  return true;
}

std::vector<std::string> ActiveRuns::stop_all(const std::string& reason) {
  std::vector<std::pair<std::string, std::shared_ptr<StopSignal>>> all;
  {
    std::lock_guard lock(mutex_);
    all.assign(runs_.begin(), runs_.end());
  }
  std::vector<std::string> ids;
  for (auto& [id, signal] : all) {
    signal->stop(reason);
    ids.push_back(id);
  }
  return ids;
}

std::vector<std::string> ActiveRuns::only_ids() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> ids;
  for (const auto& [id, signal] : runs_) ids.push_back(id);
  return ids;
}

std::size_t ActiveRuns::size() const {
  std::lock_guard lock(mutex_);
  return runs_.size();
}

}  // namespace vqflow
