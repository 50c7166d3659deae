#include "support/processes.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

extern char** environ;

namespace vqflow::test {

namespace {

// What /proc/<pid>/stat says of each process.
struct ProcessStat {
  int pid;
  char state;
  int ppid;
  int pgrp;
};

std::vector<ProcessStat> all_processes() {
  std::vector<ProcessStat> processes;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    ProcessStat process{std::stoi(name), 0, 0, 0};
    if (rest >> process.state >> process.ppid >> process.pgrp) processes.push_back(process);
  }
  return processes;
}

}  // namespace

std::vector<int> children_of_self() {
  std::vector<int> children;
  for (const ProcessStat& process : all_processes())
    if (process.ppid == ::getpid()) children.push_back(process.pid);
  return children;
}

std::vector<int> live_members_of_group(int pgid) {
  std::vector<int> members;
  for (const ProcessStat& process : all_processes())
    if (process.pgrp == pgid && process.state != 'Z' && process.state != 'X')
      members.push_back(process.pid);
  return members;
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

namespace {

int start_watched(const std::vector<std::string>& argv, int& read_end) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return -1;
  read_end = ends[0];
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
  pid_t pid = -1;
  const int failed = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(ends[1]);
  return failed != 0 ? -1 : pid;
}

}  // namespace

WatchedChild::WatchedChild(const std::vector<std::string>& argv)
    : pid_(start_watched(argv, read_end_)), lines_(read_end_) {}

WatchedChild::~WatchedChild() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait();
  }
}

int WatchedChild::wait() {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) pid_ = -1;
  return status;
}

int dead_pid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

}  // namespace vqflow::test
