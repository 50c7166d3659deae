#pragma once
#include <sys/types.h>

#include <array>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "plugins/caller_loop.h"
#include "plugins/plugin_loader_persistent.h"
#include "plugins/process_runner.h"
#include "plugins/worker_protocol.h"

namespace vqflow {

using WorkerClock = std::chrono::steady_clock;

// One call in flight. id, call and deadline are set before the call is
// shared; the rest is guarded by its worker's mutex.
struct WorkerSlot {
  std::uint64_t id = 0;
  std::shared_ptr<const WorkerHost::Call> call;
  WorkerClock::time_point deadline;
  bool done = false;
  bool reader = false;  // this call reads the worker's answers
  std::exception_ptr error;
  Value value;
  std::unique_ptr<Wake> wake;  // while the call sleeps
};

class PersistentWorker;

// What a worker needs from the host that runs it. Never called with a
// worker's mutex held.
class WorkerOwner {
 public:
  // The host's own loop, run by its thread: it watches the worker's exit,
  // stderr and clock, and writes what the pipe did not take at once.
  virtual boost::asio::io_context& ioc() = 0;
  virtual const PluginOptions& options() const = 0;
  // Ids are unique across the host's workers, so a request is written whole
  // before it is known which worker takes it.
  virtual std::uint64_t next_id() = 0;
  // Hands the call to the worker of its app, starting one when needed, and
  // returns that worker. Throws AppCallError when no worker can be started.
  virtual std::shared_ptr<PersistentWorker> submit(const WorkerHost::Call& call,
                                                   const std::shared_ptr<WorkerSlot>& slot,
                                                   const std::string& request,
                                                   WorkerClock::time_point now) = 0;
  // The worker takes no more calls: the next call of its app starts a fresh one.
  virtual void detach(PersistentWorker* worker) = 0;
  // The worker's process was reaped.
  virtual void forget(PersistentWorker* worker) = 0;

 protected:
  ~WorkerOwner() = default;
};

// One worker process of a persistent app and the calls in flight on it (see
// WorkerHost for the rules). Its descriptors other than stdout, its timer and
// its stderr tail belong to the host thread; the rest is guarded by mutex_,
// except the answer lines, which only the call holding the reader role touches.
class PersistentWorker : public std::enable_shared_from_this<PersistentWorker> {
 public:
  // What must be done once the worker's mutex is released.
  struct Aftermath {
    Wakes wakes;
    bool died = false;     // detach it, close its stdin
    bool stopped = false;  // detach it, close its stdin, SIGKILL after the grace time
    bool rearm = false;    // the host must look at the timer again
    bool drain = false;    // the host must write the outbox
  };

  PersistentWorker(WorkerOwner& host, const WorkerHost::Call& first,
                   const process_detail::Spawned& child);
  ~PersistentWorker();
  PersistentWorker(const PersistentWorker&) = delete;
  PersistentWorker& operator=(const PersistentWorker&) = delete;

  const std::string& key() const { return key_; }
  const std::string& stamp() const { return stamp_; }

  // Host thread, once, after the first call was enqueued.
  void start();
  // Registers the call and writes its request line; false when the worker
  // takes no more calls. `now` is when the call began.
  bool enqueue(const std::shared_ptr<WorkerSlot>& slot, const std::string& request,
               WorkerClock::time_point now, Aftermath& after);
  // No new calls come here; it stops once the calls in flight are answered.
  void retire();
  // Kills the worker; every call in flight fails with `reason` (the call
  // `timed_out`, when given, with its own timeout message).
  void fail(const std::string& reason, std::uint64_t timed_out = 0);
  // Host thread: fails the calls in flight and kills the process group.
  void shutdown();
  // Does what `after` says; never called with a mutex held.
  void settle(Aftermath& after);

  // Hands the call to its worker (through `host`) and waits for the outcome,
  // reading the worker's answers while the call holds the reader role.
  static boost::asio::awaitable<Value> outcome(WorkerOwner* host,
                                               std::shared_ptr<const WorkerHost::Call> call,
                                               Value args, CallControl control);
  // Host thread: the call in `slot` was stopped. It ends with AppStoppedError
  // and the worker is killed (its other calls fail); nothing when the call is over.
  void stop_call(const std::shared_ptr<WorkerSlot>& slot, const std::string& reason);

 private:
  struct CallGuard;
  struct ReadingScope;
  using Descriptor = boost::asio::posix::stream_descriptor;
  using error_code = boost::system::error_code;

  Registration& registration_for(const boost::asio::any_io_executor& executor);
  Registration* reading_registration(const boost::asio::any_io_executor& executor);
  bool read_ready(const std::shared_ptr<WorkerSlot>& mine);
  boost::asio::awaitable<std::size_t> read_some(Registration* registration, error_code& ec);
  bool keep_reading(const std::shared_ptr<WorkerSlot>& mine, std::size_t n, error_code ec);
  void consume(std::size_t n);
  bool handle_line(std::string_view line);
  void after_answer_locked(Aftermath& after);
  void hand_off_locked(Aftermath& after);
  void write_locked(const std::string& request, Aftermath& after);
  void drain();
  void fail_locked(const std::string& reason, std::uint64_t timed_out, Aftermath& after);
  void stop_locked(Aftermath& after);
  void close_input();
  void arm_kill();
  WorkerClock::time_point next_check_locked() const;
  void arm_locked(WorkerClock::time_point at);
  void rearm();
  void on_clock(std::uint64_t generation);
  void read_err();
  void keep_stderr(std::size_t n);
  void on_exit();

  WorkerOwner& host_;
  const std::string key_;
  const std::string stamp_;
  const pid_t pid_;

  std::mutex mutex_;
  std::map<std::uint64_t, std::shared_ptr<WorkerSlot>> pending_;
  int in_fd_;                       // -1 once stdin is to be closed
  const int out_fd_;                // open as long as the worker object lives
  std::deque<std::string> outbox_;  // what the pipe did not take yet, in order
  bool draining_ = false;           // the host writes the outbox
  bool reading_ = false;            // a call holds the reader role (or stdout ended)
  Registration* reader_ = nullptr;  // the registration that call reads through
  bool dead_ = false;               // takes no calls any more
  bool reaped_ = false;             // the process is gone: never signal its group again
  bool retired_ = false;            // replaced by a newer worker; stops when idle
  WorkerClock::time_point last_active_;
  WorkerClock::time_point armed_at_ = WorkerClock::time_point::max();  // when the timer fires
  std::uint64_t clock_generation_ = 0;

  // Reader role only.
  std::shared_ptr<Registration> registration_;
  std::array<char, 65536> read_buffer_;
  AnswerLineSplitter lines_;

  // Host thread only.
  Descriptor in_, err_, pidfd_;
  boost::asio::steady_timer clock_;
  std::array<char, 16384> err_buffer_;
  std::string err_tail_;
};

}  // namespace vqflow
