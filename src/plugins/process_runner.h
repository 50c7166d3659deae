#pragma once
#include <sys/types.h>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "base/errors.h"
#include "plugins/call_control.h"

namespace vqflow {

// A child process could not be started (no such file, not executable, no
// descriptors left...). The message names the program and the cause.
class ProcessError : public Error {
 public:
  using Error::Error;
};

// What to run. argv[0] is the program's path; no PATH search is made.
struct ProcessSpec {
  std::vector<std::string> argv;
  std::string cwd;               // empty: the server's working directory
  std::vector<std::string> env;  // "NAME=value", the child's whole environment
  std::string stdin_data;        // written to the child's stdin, which is then closed
  std::chrono::steady_clock::duration timeout = std::chrono::seconds(300);
  // After the timeout the process group gets SIGTERM, and SIGKILL this long after.
  std::chrono::steady_clock::duration kill_grace = std::chrono::seconds(2);
  std::size_t output_cap = 16u << 20;   // bytes of stdout; beyond it the group is killed
  std::size_t stderr_keep = 64u << 10;  // only the last bytes of stderr are kept
  // When it stops, the process group gets SIGTERM, and SIGKILL kill_grace
  // after; null: never. A signal stopped before the start starts nothing.
  std::shared_ptr<StopSignal> stop;
};

struct ProcessResult {
  bool exited = false;  // ended by exit(): exit_code is valid
  int exit_code = -1;
  int signal = 0;                // the signal that ended it, when it did not exit
  bool timed_out = false;        // killed because it outlived the timeout
  bool output_exceeded = false;  // killed because stdout grew beyond the cap
  bool stopped = false;          // killed (or never started) because the stop signal stopped
  std::string stop_reason;       // the signal's reason, when stopped
  std::string out;               // stdout (at most output_cap bytes)
  std::string err;               // the last stderr_keep bytes of stderr
};

// Runs a program in its own process group and collects its output, without
// blocking the event loop: stdin is written, stdout and stderr are read and the
// exit is awaited (pidfd) at the same time, so a chatty child never stalls.
// When the child ends, what is left of its process group is killed, so no
// grandchild outlives the call; the child is always reaped. Throws
// ProcessError when the program cannot be started, and a failure of the run
// itself (std::bad_alloc while collecting output) once the child was killed.
// Ignores SIGPIPE in this process (a child that exits without reading its
// stdin must not kill us).
boost::asio::awaitable<ProcessResult> run_process(ProcessSpec plan);

// The environment every app process gets: PATH and LANG only.
std::vector<std::string> minimal_environment();

// "exit status 3", "killed by signal 9 (Killed)", "timed out after 2.5 s"...:
// how a run ended, for error messages.
std::string describe_ending(const ProcessResult& result, const ProcessSpec& plan);

// The last non-empty line of `text` (without its line end), or "".
std::string last_line(const std::string& text);

// Lower-level pieces shared with long-lived workers.
namespace process_detail {

// A started child: its pid (leader of a new process group), a pidfd, and the
// parent's ends of its stdin, stdout and stderr pipes (all close-on-exec).
struct Spawned {
  pid_t pid = -1;
  int pidfd = -1;
  int in = -1;
  int out = -1;
  int err = -1;
};

// Starts plan.argv with plan.cwd and plan.env (other fields unused). Throws
// ProcessError; nothing is left behind when it does.
Spawned spawn(const ProcessSpec& plan);

// Reaps `pid` after its pidfd became readable; fills exited/exit_code/signal.
void reap(pid_t pid, ProcessResult& result);

// Sends `sig` to the process group led by `pid` (ESRCH ignored).
void kill_group(pid_t pid, int sig);

}  // namespace process_detail

}  // namespace vqflow
