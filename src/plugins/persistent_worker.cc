#include "plugins/persistent_worker.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <cstring>

#include "base/errors.h"
#include "base/spawn_logged.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace asio = boost::asio;
using Clock = WorkerClock;

namespace {

constexpr std::size_t k_stderr_keep = 64u << 10;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// `t + d`, saturating instead of overflowing for very long settings.
Clock::time_point later(Clock::time_point t, Clock::duration d) {
  return d > Clock::time_point::max() - t ? Clock::time_point::max() : t + d;
}

void set_non_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

// Ends a call's stay: an unanswered call (its coroutine went away) leaves the
// calls in flight, and a reader hands its role on.
struct PersistentWorker::CallGuard {
  std::shared_ptr<PersistentWorker> worker;
  std::shared_ptr<WorkerSlot> slot;
  ~CallGuard() {
    try {
      Aftermath after;
      {
        std::lock_guard lock(worker->mutex_);
        if (!slot->done) {
          slot->done = true;
          worker->pending_.erase(slot->id);
          worker->after_answer_locked(after);
        }
        if (slot->reader) {
          slot->reader = false;
          worker->hand_off_locked(after);
        }
      }
      worker->settle(after);
    } catch (...) {
      log_escaped("persistent worker: ending a call", std::current_exception());
    }
  }
};

// Lets fail() cancel the read of the call holding the reader role.
struct PersistentWorker::ReadingScope {
  PersistentWorker& worker;
  ReadingScope(PersistentWorker& w, Registration* registration) : worker(w) {
    std::lock_guard lock(worker.mutex_);
    worker.reader_ = registration;
  }
  ~ReadingScope() {
    std::lock_guard lock(worker.mutex_);
    worker.reader_ = nullptr;
  }
};

PersistentWorker::PersistentWorker(WorkerOwner& host, const WorkerHost::Call& first,
                                   const process_detail::Spawned& child)
    : host_(host),
      key_(first.app_key),
      stamp_(first.stamp),
      pid_(child.pid),
      in_fd_(child.in),
      out_fd_(child.out),
      last_active_(Clock::now()),
      lines_(first.output_cap),
      in_(host.ioc(), child.in),
      err_(host.ioc(), child.err),
      pidfd_(host.ioc(), child.pidfd),
      clock_(host.ioc()) {
  set_non_blocking(in_fd_);
  set_non_blocking(out_fd_);
}

PersistentWorker::~PersistentWorker() {
  if (registration_) registration_->drop();
  ::close(out_fd_);
}

void PersistentWorker::start() {
  read_err();
  auto self = shared_from_this();
  pidfd_.async_wait(Descriptor::wait_read, [self](error_code) { self->on_exit(); });
  std::lock_guard lock(mutex_);
  if (!dead_) arm_locked(next_check_locked());
}

bool PersistentWorker::enqueue(const std::shared_ptr<WorkerSlot>& slot, const std::string& request,
                               Clock::time_point now, Aftermath& after) {
  std::lock_guard lock(mutex_);
  if (dead_ || retired_) return false;
  pending_.emplace(slot->id, slot);
  last_active_ = now;
  if (!reading_) {
    reading_ = true;
    slot->reader = true;
  }
  if (slot->deadline < armed_at_) {
    armed_at_ = slot->deadline;
    after.rearm = true;
  }
  write_locked(request, after);
  return true;
}

void PersistentWorker::retire() {
  Aftermath after;
  {
    std::lock_guard lock(mutex_);
    retired_ = true;
    if (pending_.empty()) stop_locked(after);
  }
  settle(after);
}

void PersistentWorker::fail(const std::string& reason, std::uint64_t timed_out) {
  Aftermath after;
  {
    std::lock_guard lock(mutex_);
    fail_locked(reason, timed_out, after);
  }
  settle(after);
}

void PersistentWorker::shutdown() {
  fail("the app loader is shutting down");
  std::lock_guard lock(mutex_);
  if (!reaped_) process_detail::kill_group(pid_, SIGKILL);
  ++clock_generation_;
  clock_.cancel();
}

void PersistentWorker::settle(Aftermath& after) {
  if (after.died || after.stopped) host_.detach(this);
  if (after.died || after.stopped || after.rearm || after.drain) {
    auto self = shared_from_this();
    asio::post(host_.ioc(), [self, died = after.died, stopped = after.stopped, rearm = after.rearm,
                             drain = after.drain] {
      if (died || stopped) self->close_input();
      if (stopped) self->arm_kill();
      if (rearm) self->rearm();
      if (drain) self->drain();
    });
  }
  for (auto& wake : after.wakes) wake->fire();
  after.wakes.clear();
}

asio::awaitable<Value> PersistentWorker::outcome(WorkerOwner* host,
                                                 std::shared_ptr<const WorkerHost::Call> call,
                                                 Value args, CallControl control) {
  if (control.stop && control.stop->stopped())
    throw AppStoppedError(call->context, control.stop->reason().value_or("stopped"), "");
  const Clock::time_point now = Clock::now();
  auto slot = std::make_shared<WorkerSlot>();
  slot->id = host->next_id();
  slot->deadline = later(now, call->timeout);
  slot->call = call;
  std::shared_ptr<PersistentWorker> self = host->submit(
      *call, slot, request_line(slot->id, call->action_json, args, control.idempotency_key), now);
  CallGuard guard{std::move(self), std::move(slot)};
  // The signal may stop on any thread: the host's loop does the killing.
  StopSubscription on_stop(control.stop, [worker = std::weak_ptr<PersistentWorker>(guard.worker),
                                          stopped = std::weak_ptr<WorkerSlot>(guard.slot),
                                          signal = control.stop.get(), host] {
    asio::post(host->ioc(), [worker, stopped, reason = signal->reason().value_or("stopped")] {
      auto alive = worker.lock();
      auto slot = stopped.lock();
      if (alive && slot) alive->stop_call(slot, reason);
    });
  });
  PersistentWorker& worker = *guard.worker;
  const std::shared_ptr<WorkerSlot>& mine = guard.slot;
  for (;;) {
    bool read;
    {
      std::lock_guard lock(worker.mutex_);
      if (mine->done) break;
      read = mine->reader;
    }
    if (read) {
      // On one CPU the worker usually runs as soon as the request is written
      // and its answer is in the pipe by now: then no loop is involved.
      if (worker.read_ready(mine)) continue;
      // Reading here rather than in a nested coroutine saves a frame per call.
      Registration* registration = worker.reading_registration(co_await asio::this_coro::executor);
      if (!registration) continue;  // the worker was failed
      ReadingScope scope(worker, registration);
      for (;;) {
        error_code ec;
        const std::size_t n = co_await worker.read_some(registration, ec);
        if (!worker.keep_reading(mine, n, ec)) break;
      }
      continue;
    }
    co_await asio::async_initiate<decltype(asio::use_awaitable), void()>(
        [](auto handler, PersistentWorker* owner, std::shared_ptr<WorkerSlot> waiting) {
          auto wake =
              std::make_unique<HandlerWake<std::decay_t<decltype(handler)>>>(std::move(handler));
          {
            std::lock_guard lock(owner->mutex_);
            if (!waiting->done && !waiting->reader) {
              waiting->wake = std::move(wake);
              return;
            }
          }
          wake->fire();
        },
        asio::use_awaitable, &worker, mine);
    std::lock_guard lock(worker.mutex_);
    if (!mine->done && !mine->reader)
      throw AppCallError(mine->call->context, "app call abandoned: the app loader stopped", "");
  }
  if (mine->error) std::rethrow_exception(mine->error);
  co_return std::move(mine->value);
}

void PersistentWorker::after_answer_locked(Aftermath& after) {
  last_active_ = Clock::now();
  if (!pending_.empty()) return;
  if (retired_) return stop_locked(after);
  // The idle time now ends before the host looks again.
  const Clock::time_point idle_end = later(last_active_, host_.options().idle_stop);
  if (idle_end < armed_at_) {
    armed_at_ = idle_end;
    after.rearm = true;
  }
}

// The reader's own call is over: the first call still waiting reads next.
void PersistentWorker::hand_off_locked(Aftermath& after) {
  if (dead_ || pending_.empty()) {
    reading_ = false;
    return;
  }
  WorkerSlot& next = *pending_.begin()->second;
  next.reader = true;
  if (next.wake) after.wakes.push_back(std::move(next.wake));
}

void PersistentWorker::write_locked(const std::string& request, Aftermath& after) {
  if (in_fd_ < 0)
    return fail_locked("could not write to the worker: its input is closed", 0, after);
  std::size_t written = 0;
  if (outbox_.empty()) {
    ssize_t n;
    do {
      n = ::write(in_fd_, request.data(), request.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(request.size())) return;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
      return fail_locked(std::string("could not write to the worker: ") + std::strerror(errno), 0,
                         after);
    if (n > 0) written = static_cast<std::size_t>(n);
  }
  outbox_.push_back(request.substr(written));
  if (!draining_) {
    draining_ = true;
    after.drain = true;
  }
}

// Host thread: writes what the pipe did not take at once.
void PersistentWorker::drain() {
  Aftermath after;
  {
    std::lock_guard lock(mutex_);
    while (!dead_ && in_fd_ >= 0 && !outbox_.empty()) {
      std::string& front = outbox_.front();
      ssize_t n = ::write(in_fd_, front.data(), front.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        auto self = shared_from_this();
        in_.async_wait(Descriptor::wait_write, [self](error_code ec) {
          if (!ec) return self->drain();
          self->fail("could not write to the worker: " + ec.message());
        });
        return;
      }
      if (n < 0) {
        fail_locked(std::string("could not write to the worker: ") + std::strerror(errno), 0,
                    after);
        break;
      }
      if (static_cast<std::size_t>(n) == front.size()) {
        outbox_.pop_front();
      } else {
        front.erase(0, static_cast<std::size_t>(n));
      }
    }
    draining_ = false;
  }
  settle(after);
}

void PersistentWorker::fail_locked(const std::string& reason, std::uint64_t timed_out,
                                   Aftermath& after) {
  if (dead_) return;
  dead_ = true;
  after.died = true;
  if (!reaped_) process_detail::kill_group(pid_, SIGKILL);
  if (reader_) {
    std::lock_guard hold(reader_->mutex);
    error_code ec;
    if (reader_->descriptor) reader_->descriptor->cancel(ec);
  }
  outbox_.clear();
  in_fd_ = -1;  // closed on the host thread
  for (auto& [id, slot] : pending_) {
    const WorkerHost::Call& call = *slot->call;
    std::string message =
        id == timed_out ? fmt::format("timed out after {:g} s", seconds(call.timeout)) : reason;
    slot->error = std::make_exception_ptr(AppCallError(call.context, message, ""));
    slot->done = true;
    if (slot->wake) after.wakes.push_back(std::move(slot->wake));
  }
  pending_.clear();
}

void PersistentWorker::stop_call(const std::shared_ptr<WorkerSlot>& slot,
                                 const std::string& reason) {
  Aftermath after;
  {
    std::lock_guard lock(mutex_);
    auto found = pending_.find(slot->id);
    if (dead_ || slot->done || found == pending_.end()) return;
    pending_.erase(found);
    slot->error = std::make_exception_ptr(AppStoppedError(slot->call->context, reason, ""));
    slot->done = true;
    if (slot->wake) after.wakes.push_back(std::move(slot->wake));
    fail_locked("worker stopped: another call on it was stopped", 0, after);
  }
  settle(after);
}

// Closes stdin, which tells a well-behaved worker to exit; SIGKILL follows
// after the grace time.
void PersistentWorker::stop_locked(Aftermath& after) {
  if (dead_ || !pending_.empty()) return;
  dead_ = true;
  after.stopped = true;
  in_fd_ = -1;
}

// Host thread.
void PersistentWorker::close_input() {
  error_code ec;
  in_.close(ec);
}

// Host thread.
void PersistentWorker::arm_kill() {
  std::lock_guard lock(mutex_);
  const std::uint64_t generation = ++clock_generation_;
  clock_.expires_after(host_.options().kill_grace);
  auto self = shared_from_this();
  clock_.async_wait([self, generation](error_code ec) {
    if (ec) return;
    std::lock_guard lock(self->mutex_);
    if (generation == self->clock_generation_ && !self->reaped_)
      process_detail::kill_group(self->pid_, SIGKILL);
  });
}

// When the host must look next: the earliest deadline of a call in flight
// or the end of the idle time, whichever comes first (the idle end counts
// while it is ahead even with calls in flight, so that a call ending or
// starting seldom has to move the timer, which would wake the host).
Clock::time_point PersistentWorker::next_check_locked() const {
  const Clock::time_point idle_end = later(last_active_, host_.options().idle_stop);
  if (pending_.empty()) return idle_end;
  Clock::time_point earliest = Clock::time_point::max();
  for (const auto& [id, slot] : pending_) earliest = std::min(earliest, slot->deadline);
  return idle_end > Clock::now() ? std::min(earliest, idle_end) : earliest;
}

// Host thread, with mutex_ held.
void PersistentWorker::arm_locked(Clock::time_point at) {
  armed_at_ = at;
  const std::uint64_t generation = ++clock_generation_;
  clock_.expires_at(at);
  auto self = shared_from_this();
  clock_.async_wait([self, generation](error_code ec) {
    if (!ec) self->on_clock(generation);
  });
}

// Host thread.
void PersistentWorker::rearm() {
  std::lock_guard lock(mutex_);
  if (!dead_) arm_locked(next_check_locked());
}

// Host thread: a deadline or the idle time may have passed.
void PersistentWorker::on_clock(std::uint64_t generation) {
  Aftermath after;
  {
    std::lock_guard lock(mutex_);
    if (dead_ || generation != clock_generation_) return;
    const Clock::time_point now = Clock::now();
    std::shared_ptr<WorkerSlot> late;
    for (const auto& [id, slot] : pending_)
      if (slot->deadline <= now && (!late || slot->deadline < late->deadline)) late = slot;
    if (late) {
      fail_locked("worker stopped: another call on it timed out", late->id, after);
    } else if (pending_.empty() && now >= later(last_active_, host_.options().idle_stop)) {
      stop_locked(after);
    } else {
      arm_locked(next_check_locked());
    }
  }
  settle(after);
}

void PersistentWorker::read_err() {
  auto self = shared_from_this();
  err_.async_read_some(asio::buffer(err_buffer_), [self](error_code ec, std::size_t n) {
    self->keep_stderr(n);
    if (!ec) self->read_err();
  });
}

void PersistentWorker::keep_stderr(std::size_t n) {
  err_tail_.append(err_buffer_.data(), n);
  if (err_tail_.size() > 2 * k_stderr_keep) err_tail_.erase(0, err_tail_.size() - k_stderr_keep);
}

// Host thread.
void PersistentWorker::on_exit() {
  ProcessResult ending;
  {
    std::lock_guard lock(mutex_);
    // The worker is a zombie until reaped: its group id is still ours to signal.
    process_detail::kill_group(pid_, SIGKILL);
    process_detail::reap(pid_, ending);
    reaped_ = true;
  }
  error_code ec;
  pidfd_.close(ec);
  // What the worker wrote last may not have been read yet.
  err_.non_blocking(true, ec);
  while (!ec) {
    std::size_t n = err_.read_some(asio::buffer(err_buffer_), ec);
    keep_stderr(n);
  }
  std::string hint = last_line(err_tail_);
  if (hint.size() > 2000) hint = hint.substr(hint.size() - 2000);
  fail("worker ended: " + describe_ending(ending, ProcessSpec{}) +
       (hint.empty() ? "" : ": " + hint));
  err_.close(ec);
  {
    std::lock_guard lock(mutex_);
    ++clock_generation_;
    clock_.cancel();
  }
  host_.forget(this);
}

}  // namespace vqflow
