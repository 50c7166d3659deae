#include "plugins/process_runner.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>

#include "plugins/app_reaper.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;
using boost::system::error_code;

namespace process_detail {

namespace {

// Owns descriptors until they are handed over.
struct FdSet {
  std::vector<int> fds;
  ~FdSet() {
    for (int fd : fds)
      if (fd >= 0) ::close(fd);
  }
  void add(int fd) { fds.push_back(fd); }
};

// Moves a pipe end above the standard descriptors, so that the child's dup2
// onto 0, 1 and 2 never meets itself (and keeps close-on-exec everywhere else).
int above_std(int fd) {
  if (fd >= 3) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  int saved = errno;
  ::close(fd);
  errno = saved;
  return moved;
}

[[noreturn]] void fail(const ProcessSpec& plan, const std::string& what, int err) {
  throw ProcessError(fmt::format("start {}: {}: {}", plan.argv.empty() ? "" : plan.argv[0], what,
                                 std::strerror(err)));
}

void make_pipe(const ProcessSpec& plan, FdSet& fds, int& read_end, int& write_end) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) fail(plan, "pipe", errno);
  read_end = above_std(ends[0]);
  if (read_end < 0) {
    int saved = errno;
    ::close(ends[1]);
    fail(plan, "pipe", saved);
  }
  write_end = above_std(ends[1]);
  if (write_end < 0) {
    int saved = errno;
    ::close(read_end);
    fail(plan, "pipe", saved);
  }
  fds.add(read_end);
  fds.add(write_end);
}

}  // namespace

Spawned spawn(const ProcessSpec& plan) {
  if (plan.argv.empty()) throw ProcessError("start: no program given");
  // The FdSet closes whatever is still in it when we leave, on failure or not;
  // descriptors handed to the caller are taken out of it first.
  FdSet fds;
  fds.fds.reserve(6);
  int in_r, in_w, out_r, out_w, err_r, err_w;
  make_pipe(plan, fds, in_r, in_w);
  make_pipe(plan, fds, out_r, out_w);
  make_pipe(plan, fds, err_r, err_w);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_r, 0);
  posix_spawn_file_actions_adddup2(&actions, out_w, 1);
  posix_spawn_file_actions_adddup2(&actions, err_w, 2);
  // Sockets and other descriptors of the server are not all close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!plan.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, plan.cwd.c_str());

  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGCHLD, SIGUSR1, SIGUSR2, SIGALRM})
    sigaddset(&defaults, sig);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  for (const auto& a : plan.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& e : plan.env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, plan.argv[0].c_str(), &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  // glibc reaps the child itself when exec fails, so an error leaves nothing behind.
  if (rc != 0) {
    if (!plan.cwd.empty() && ::access(plan.cwd.c_str(), X_OK) != 0)
      fail(plan, "working directory " + plan.cwd, errno);
    fail(plan, "spawn", rc);
  }

  watch_app_group(pid);

  int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) {
    int saved = errno;
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    unwatch_app_group(pid);
    ::waitpid(pid, nullptr, 0);
    fail(plan, "pidfd_open", saved);
  }

  Spawned child;
  child.pid = pid;
  child.pidfd = pidfd;
  child.in = in_w;
  child.out = out_r;
  child.err = err_r;
  fds.fds = {in_r, out_w, err_w};  // the child's ends: ours to close now
  return child;
}

void reap(pid_t pid, ProcessResult& result) {
  unwatch_app_group(pid);
  int status = 0;
  pid_t got;
  do {
    got = ::waitpid(pid, &status, 0);
  } while (got < 0 && errno == EINTR);
  if (got != pid) return;  // someone else reaped it: the ending stays unknown
  if (WIFEXITED(status)) {
    result.exited = true;
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
}

void kill_group(pid_t pid, int sig) {
  if (pid > 0) ::kill(-pid, sig);
}

}  // namespace process_detail

namespace {

using process_detail::kill_group;
using Descriptor = asio::posix::stream_descriptor;

void ignore_sigpipe_once() {
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// State of one run, touched only on its strand. Four tasks (stdin, stdout,
// stderr, exit) count down `pending`; the watchdog is not counted and is
// cancelled when they are all done. The tasks turn I/O errors into data, so
// what escapes one (no memory, a timer that cannot be set) is a failure of the
// run itself: the first is kept in `failure` and thrown once the tasks are done.
struct Run {
  explicit Run(const asio::any_io_executor& ex)
      : in(ex), out(ex), err(ex), pidfd(ex), deadline(ex), drain(ex), stopping(ex), done(ex) {}

  ProcessSpec plan;
  process_detail::Spawned child;
  ProcessResult result;
  Descriptor in, out, err, pidfd;
  asio::steady_timer deadline, drain, stopping, done;
  int pending = 4;
  bool exited = false;    // the child ended (no signal may go to its group any more)
  bool finished = false;  // all four tasks are done
  std::exception_ptr failure;

  void finish_one() {
    --pending;
    if (pending == 1 && exited) drain.cancel();
    if (pending == 0) {
      finished = true;
      deadline.cancel();
      drain.cancel();
      stopping.cancel();
      done.cancel();
    }
  }
  // A task failed: the group is killed, so that the other tasks end too.
  void fail(std::exception_ptr error) {
    if (!failure) failure = std::move(error);
    if (!exited) kill_group(child.pid, SIGKILL);
  }
  void close_pipes() {
    error_code ec;
    in.close(ec);
    out.close(ec);
    err.close(ec);
  }
};

// The completion of one of the run's tasks, on its strand.
struct TaskEnd {
  std::shared_ptr<Run> run;
  bool counted;  // one of the four tasks that `pending` counts
  void operator()(std::exception_ptr failure) const {
    if (failure) run->fail(failure);
    if (counted) run->finish_one();
  }
};

awaitable<void> write_stdin(std::shared_ptr<Run> run) {
  error_code ec;
  if (!run->plan.stdin_data.empty())
    co_await asio::async_write(run->in, asio::buffer(run->plan.stdin_data),
                               asio::redirect_error(use_awaitable, ec));
  // A child that exits without reading gives EPIPE here: that is its business.
  run->in.close(ec);
}

awaitable<void> read_stdout(std::shared_ptr<Run> run) {
  std::array<char, 65536> buffer;
  for (;;) {
    error_code ec;
    std::size_t n = co_await run->out.async_read_some(asio::buffer(buffer),
                                                      asio::redirect_error(use_awaitable, ec));
    if (n > 0) {
      if (run->result.out.size() + n > run->plan.output_cap) {
        run->result.output_exceeded = true;
        if (!run->exited) kill_group(run->child.pid, SIGKILL);
        break;
      }
      run->result.out.append(buffer.data(), n);
    }
    if (ec) break;
  }
  error_code ec;
  run->out.close(ec);
}

awaitable<void> read_stderr(std::shared_ptr<Run> run) {
  std::array<char, 16384> buffer;
  std::string& tail = run->result.err;
  const std::size_t keep = run->plan.stderr_keep;
  for (;;) {
    error_code ec;
    std::size_t n = co_await run->err.async_read_some(asio::buffer(buffer),
                                                      asio::redirect_error(use_awaitable, ec));
    tail.append(buffer.data(), n);
    if (tail.size() > 2 * keep + buffer.size()) tail.erase(0, tail.size() - keep);
    if (ec) break;
  }
  if (tail.size() > keep) tail.erase(0, tail.size() - keep);
  error_code ec;
  run->err.close(ec);
}

awaitable<void> wait_exit(std::shared_ptr<Run> run) {
  error_code ec;
  co_await run->pidfd.async_wait(Descriptor::wait_read, asio::redirect_error(use_awaitable, ec));
  // The leader is a zombie now, so its pid (and group id) cannot be reused
  // yet: whatever is left in its group goes with it.
  kill_group(run->child.pid, SIGKILL);
  run->exited = true;
  process_detail::reap(run->child.pid, run->result);
  run->pidfd.close(ec);
  // Let the pipes drain; a process that left the group may still hold them.
  if (run->pending > 1) {
    run->drain.expires_after(run->plan.kill_grace);
    co_await run->drain.async_wait(asio::redirect_error(use_awaitable, ec));
    if (run->pending > 1) run->close_pipes();
  }
}

awaitable<void> watchdog(std::shared_ptr<Run> run) {
  error_code ec;
  run->deadline.expires_after(run->plan.timeout);
  co_await run->deadline.async_wait(asio::redirect_error(use_awaitable, ec));
  if (run->finished || run->exited) co_return;
  run->result.timed_out = true;
  kill_group(run->child.pid, SIGTERM);
  run->deadline.expires_after(run->plan.kill_grace);
  co_await run->deadline.async_wait(asio::redirect_error(use_awaitable, ec));
  if (run->finished || run->exited) co_return;
  kill_group(run->child.pid, SIGKILL);
}

// The stop signal stopped: SIGTERM to the group, SIGKILL after the grace.
awaitable<void> stop_group(std::shared_ptr<Run> run) {
  if (run->finished || run->exited || run->result.stopped) co_return;
  run->result.stopped = true;
  run->result.stop_reason = run->plan.stop->reason().value_or("stopped");
  kill_group(run->child.pid, SIGTERM);
  error_code ec;
  run->stopping.expires_after(run->plan.kill_grace);
  co_await run->stopping.async_wait(asio::redirect_error(use_awaitable, ec));
  if (run->finished || run->exited) co_return;
  kill_group(run->child.pid, SIGKILL);
}

awaitable<ProcessResult> run_on_strand(ProcessSpec plan) {
  auto ex = co_await asio::this_coro::executor;
  auto run = std::make_shared<Run>(ex);
  run->plan = std::move(plan);
  if (run->plan.stop && run->plan.stop->stopped()) {
    run->result.stopped = true;
    run->result.stop_reason = run->plan.stop->reason().value_or("stopped");
    co_return std::move(run->result);
  }
  run->child = process_detail::spawn(run->plan);
  // The signal may stop on any thread: its callback only hands over to the strand.
  StopSubscription subscription(run->plan.stop, [weak = std::weak_ptr<Run>(run), ex] {
    if (auto stopped = weak.lock())
      asio::co_spawn(ex, stop_group(stopped), TaskEnd{stopped, false});
  });
  run->in.assign(run->child.in);
  run->out.assign(run->child.out);
  run->err.assign(run->child.err);
  run->pidfd.assign(run->child.pidfd);
  run->done.expires_at(asio::steady_timer::time_point::max());

  asio::co_spawn(ex, write_stdin(run), TaskEnd{run, true});
  asio::co_spawn(ex, read_stdout(run), TaskEnd{run, true});
  asio::co_spawn(ex, read_stderr(run), TaskEnd{run, true});
  asio::co_spawn(ex, wait_exit(run), TaskEnd{run, true});
  asio::co_spawn(ex, watchdog(run), TaskEnd{run, false});

  error_code ec;
  while (!run->finished) co_await run->done.async_wait(asio::redirect_error(use_awaitable, ec));
  if (run->failure) std::rethrow_exception(run->failure);
  co_return std::move(run->result);
}

}  // namespace

awaitable<ProcessResult> run_process(ProcessSpec plan) {
  ignore_sigpipe_once();
  auto ex = co_await asio::this_coro::executor;
  auto strand = asio::make_strand(ex);
  co_return co_await asio::co_spawn(strand, run_on_strand(std::move(plan)), use_awaitable);
}

std::vector<std::string> minimal_environment() {
  return {"PATH=/usr/local/bin:/usr/bin:/bin", "LANG=C.UTF-8"};
}

std::string describe_ending(const ProcessResult& result, const ProcessSpec& plan) {
  if (result.stopped) return "stopped: " + result.stop_reason;
  if (result.timed_out)
    return fmt::format("timed out after {:g} s",
                       std::chrono::duration<double>(plan.timeout).count());
  if (result.output_exceeded) return fmt::format("output exceeds {} bytes", plan.output_cap);
  if (result.exited) return fmt::format("exit status {}", result.exit_code);
  if (result.signal != 0) {
    const char* name = ::strsignal(result.signal);
    return fmt::format("killed by signal {} ({})", result.signal, name ? name : "unknown");
  }
  return "ended, exit status unknown";
}

std::string last_line(const std::string& text) {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t newline = text.rfind('\n', end - 1);
    std::size_t begin = newline == std::string::npos ? 0 : newline + 1;
    std::string line = text.substr(begin, end - begin);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) return line;
    if (begin == 0) break;
    end = begin - 1;
  }
  return "";
}

}  // namespace vqflow
