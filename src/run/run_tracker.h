#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vqflow {

// The runs this process started and that have not closed yet, so that a
// shutdown can wait for them and name those it cuts short. Safe from any thread.
class RunTracker {
 public:
  struct Run {
    std::string only_id;  // empty until the run's id is known
    std::string uuid;
  };

  // Counts a run about to be submitted; answers its ticket.
  std::uint64_t begin(const std::string& uuid);
  // As begin, unless `limit` runs are already counted: then answers 0 and
  // counts nothing (check and count are one step, so concurrent callers
  // cannot overshoot the limit).
  std::uint64_t begin_within(const std::string& uuid, std::size_t limit);
  // Names the run once auto_execute has answered its only_id.
  void name(std::uint64_t ticket, const std::string& only_id);
  // The run closed (or was never submitted). Unknown tickets are ignored.
  void finish(std::uint64_t ticket);

  std::size_t in_progress() const;
  std::vector<Run> runs() const;
  // Blocks the calling thread until no run is counted (true) or `limit` has
  // passed (false). Not for a loop thread that closes runs.
  bool wait_idle(std::chrono::milliseconds limit) const;

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable idle_;
  std::uint64_t next_ = 1;
  std::map<std::uint64_t, Run> runs_;
};

}  // namespace vqflow
