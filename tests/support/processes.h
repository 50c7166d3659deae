#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vqflow::test {

// Pids of this process's children (zombies included), from /proc.
std::vector<int> children_of_self();

// Pids of the processes of group `pgid` that are alive (zombies are not).
std::vector<int> live_members_of_group(int pgid);

// True when `pid` is gone or a zombie (a reaper other than us may be slow).
bool is_dead(int pid);

// The pid of a child of this process that has exited and been reaped: a
// process of this host that is known to be dead.
int dead_pid();

// Polls `predicate` every 10 ms until it holds or `limit` has passed; answers
// its last value.
template <typename Predicate>
bool eventually(Predicate predicate,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (predicate()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return predicate();
}

// Reads a child's output from the pipe `fd` (taken over) on a thread of its
// own, so the child never blocks on a full pipe, and lets the test wait for a
// line. Destroy it after the child has exited or been killed: the thread ends
// when the pipe's last writer closes it.
class OutputWatcher {
 public:
  explicit OutputWatcher(int fd);
  ~OutputWatcher();
  OutputWatcher(const OutputWatcher&) = delete;
  OutputWatcher& operator=(const OutputWatcher&) = delete;

  // The first line holding `text`, once it has arrived; absent when the
  // output ended or `limit` passed first.
  std::optional<std::string> wait_for_line(const std::string& text,
                                           std::chrono::milliseconds limit);

 private:
  void read_all();

  int fd_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  bool ended_ = false;
  std::thread reader_;
};

// A child process (argv[0] is its path) whose stdout and stderr come through
// an OutputWatcher. Killed with SIGKILL and reaped on destruction unless
// waited for. pid() is -1 when it could not be started.
class WatchedChild {
 public:
  explicit WatchedChild(const std::vector<std::string>& argv);
  ~WatchedChild();
  WatchedChild(const WatchedChild&) = delete;
  WatchedChild& operator=(const WatchedChild&) = delete;

  int pid() const { return pid_; }
  OutputWatcher& lines() { return lines_; }
  // Waits for it to end and answers its wait status.
  int wait();

 private:
  int read_end_ = -1;
  int pid_;
  OutputWatcher lines_;  // destroyed after the child is gone
};

}  // namespace vqflow::test
