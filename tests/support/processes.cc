#include "support/processes.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vqflow::test {

std::vector<int> children_of_self() {
  std::vector<int> children;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    int ppid;
    if (rest >> state >> ppid && ppid == ::getpid()) children.push_back(std::stoi(name));
  }
  return children;
}

bool is_dead(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

OutputWatcher::OutputWatcher(int fd) : fd_(fd), reader_([this] { read_all(); }) {}

OutputWatcher::~OutputWatcher() {
  reader_.join();
  ::close(fd_);
}

void OutputWatcher::read_all() {
  std::string pending;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(fd_, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(chunk, static_cast<std::size_t>(got));
    std::vector<std::string> complete;
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      complete.push_back(pending.substr(0, end));
      pending.erase(0, end + 1);
    }
    if (complete.empty()) continue;
    {
      std::lock_guard lock(mutex_);
      for (auto& line : complete) lines_.push_back(std::move(line));
    }
    changed_.notify_all();
  }
  {
    std::lock_guard lock(mutex_);
    if (!pending.empty()) lines_.push_back(std::move(pending));
    ended_ = true;
  }
  changed_.notify_all();
}

std::optional<std::string> OutputWatcher::wait_for_line(const std::string& text,
                                                        std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  std::optional<std::string> found;
  changed_.wait_for(lock, limit, [&] {
    for (const auto& line : lines_) {
      if (line.find(text) != std::string::npos) {
        found = line;
        return true;
      }
    }
    return ended_;
  });
  return found;
}

}  // namespace vqflow::test
