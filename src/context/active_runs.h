#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "plugins/call_control.h"

namespace vqflow {

// The runs this process is running now, each with the signal that stops it
// (a cancel seen in the stores, or the process going down). Thread-safe.
class ActiveRuns {
 public:
  void add(const std::string& only_id, std::shared_ptr<StopSignal> stop);
  void remove(const std::string& only_id);
  // Stops the run `only_id` when it runs here; false when it does not.
  bool stop(const std::string& only_id, const std::string& reason);
  // Stops every run here; answers their only_ids.
  std::vector<std::string> stop_all(const std::string& reason);
  std::vector<std::string> only_ids() const;
  std::size_t size() const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<StopSignal>> runs_;
};

}  // namespace vqflow
