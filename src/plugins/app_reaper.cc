#include "plugins/app_reaper.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <vector>

namespace vqflow {

namespace {

// More live app groups than this at once go unguarded.
constexpr std::size_t k_max_groups = 1u << 16;

// The guard's groups: a plain array scanned in full is enough for a process
// that sees two messages per app call.
struct GroupTable {
  pid_t* slots;
  std::size_t used = 0;

  void add(pid_t pgid) {
    for (std::size_t i = 0; i < used; ++i)
      if (slots[i] == 0) {
        slots[i] = pgid;
        return;
      }
    if (used < k_max_groups) slots[used++] = pgid;
  }
  void remove(pid_t pgid) {
    for (std::size_t i = 0; i < used; ++i)
      if (slots[i] == pgid) {
        slots[i] = 0;
        return;
      }
  }
  void kill_all() const {
    for (std::size_t i = 0; i < used; ++i)
      if (slots[i] > 0) ::kill(-slots[i], SIGKILL);
  }
};

void close_all_but(int keep) {
  if (keep > 3) ::syscall(SYS_close_range, 3u, static_cast<unsigned>(keep - 1), 0u);
  if (::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0u, 0u) != 0) {
    const long limit = ::sysconf(_SC_OPEN_MAX);
    for (long fd = keep + 1; fd < limit; ++fd) ::close(static_cast<int>(fd));
  }
}

// The guard process: only async-signal-safe calls (it is forked from a
// threaded process), no allocation; `slots` was allocated before the fork.
[[noreturn]] void guard_main(int messages, pid_t* slots) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT}) ::sigaction(sig, &ignore, nullptr);
  close_all_but(messages);
  int null = ::open("/dev/null", O_RDWR);
  if (null >= 0) {
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    if (null > 2) ::close(null);
  }
  if (::chdir("/") != 0) {
    // Keeping the old working directory only pins a mount.
  }
  GroupTable table{slots};
  char buffer[4096];
  char line[32];
  std::size_t length = 0;
  for (;;) {
    ssize_t n = ::read(messages, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (c != '\n') {
        if (length < sizeof line) line[length++] = c;
        continue;
      }
      long pgid = 0;
      for (std::size_t j = 1; j < length && line[j] >= '0' && line[j] <= '9'; ++j)
        pgid = pgid * 10 + (line[j] - '0');
      if (length > 1 && pgid > 1 && pgid < (1l << 30)) {
        if (line[0] == '+') table.add(static_cast<pid_t>(pgid));
        if (line[0] == '-') table.remove(static_cast<pid_t>(pgid));
      }
      length = 0;
    }
  }
  table.kill_all();
  ::_exit(0);
}

class Guard {
 public:
  static Guard& instance() {
    static Guard* guard = new Guard;  // never destroyed: apps may be spawned during exit
    return *guard;
  }

  void send(char sign, pid_t pgid) {
    std::call_once(started_, [this] { start(); });
    if (fd_ < 0 || pgid <= 0) return;
    char text[24];
    const int length = std::snprintf(text, sizeof text, "%c%d\n", sign, static_cast<int>(pgid));
    // Shorter than PIPE_BUF: written whole or not at all. A guard that died
    // gives EPIPE (SIGPIPE is ignored), which leaves the apps unguarded.
    ssize_t n;
    do {
      n = ::write(fd_, text, static_cast<std::size_t>(length));
    } while (n < 0 && errno == EINTR);
  }

 private:
  void start() {
    ::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return;
    std::vector<pid_t> slots(k_max_groups, 0);
    pid_t middle = ::fork();
    if (middle == 0) {
      // Detached twice, so the guard is not our child and is never waited for.
      ::setsid();
      if (::fork() == 0) {
        ::close(ends[1]);
        guard_main(ends[0], slots.data());
      }
      ::_exit(0);
    }
    ::close(ends[0]);
    if (middle < 0) {
      ::close(ends[1]);
      return;
    }
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    fd_ = ends[1];
  }

  std::once_flag started_;
  int fd_ = -1;
};

}  // namespace

void watch_app_group(pid_t pgid) { Guard::instance().send('+', pgid); }

void unwatch_app_group(pid_t pgid) { Guard::instance().send('-', pgid); }

}  // namespace vqflow
