#pragma once
#include <chrono>
#include <thread>
#include <vector>

namespace vqflow::test {

// Pids of this process's children (zombies included), from /proc.
std::vector<int> children_of_self();

// True when `pid` is gone or a zombie (a reaper other than us may be slow).
bool is_dead(int pid);

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

}  // namespace vqflow::test
