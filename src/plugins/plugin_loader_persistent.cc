#include "plugins/plugin_loader_persistent.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <spdlog/spdlog.h>
#include <unistd.h>

#include <array>
#include <boost/asio/async_result.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "base/errors.h"
#include "plugins/process_runner.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace asio = boost::asio;
using boost::system::error_code;
using Descriptor = asio::posix::stream_descriptor;

Value interpret_worker_answer(Value answer, const std::string& context) {
  if (auto error = answer.find("error"); error != answer.end()) {
    std::string kind, message;
    if (error->is_object()) {
      if (auto k = error->find("kind"); k != error->end() && k->is_string())
        kind = k->get<std::string>();
      if (auto m = error->find("message"); m != error->end())
        message = m->is_string() ? m->get<std::string>() : json_text(*m);
    } else if (error->is_string()) {
      message = error->get<std::string>();
    } else {
      message = json_text(*error);
    }
    if (message.empty()) message = "the app reported an error";
    if (kind == "argument") throw AppArgumentError(context + ": " + message);
    throw AppCallError(context + ": " + message);
  }
  if (auto result = answer.find("result"); result != answer.end()) return std::move(*result);
  throw AppCallError(context + ": the answer has neither \"result\" nor \"error\"");
}

namespace {

constexpr std::size_t k_stderr_keep = 64u << 10;
using Clock = std::chrono::steady_clock;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// `t + d`, saturating instead of overflowing for very long settings.
Clock::time_point later(Clock::time_point t, Clock::duration d) {
  return d > Clock::time_point::max() - t ? Clock::time_point::max() : t + d;
}

std::string excerpt(std::string_view text) {
  constexpr std::size_t limit = 200;
  std::string cut(text.substr(0, limit));
  if (text.size() > limit) cut += "...";
  return json_text(Value(cut));
}

std::string_view skip_space(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' ||
                           text.front() == '\n'))
    text.remove_prefix(1);
  return text;
}

bool take(std::string_view& text, std::string_view token) {
  text = skip_space(text);
  if (text.substr(0, token.size()) != token) return false;
  text.remove_prefix(token.size());
  return true;
}

// The usual answer line, {"id": N, "result": R} with nothing else in it, split
// into N and the text of R without reading the envelope as a JSON document.
// Absent for any other shape: such lines take the general way.
struct PlainAnswer {
  std::uint64_t id;
  std::string_view result;
};

std::optional<PlainAnswer> plain_answer(std::string_view line) {
  if (!take(line, "{") || !take(line, "\"id\"") || !take(line, ":")) return std::nullopt;
  line = skip_space(line);
  std::uint64_t id = 0;
  std::size_t digits = 0;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
    if (digits == 18) return std::nullopt;  // no overflow; long ids take the general way
    id = id * 10 + static_cast<std::uint64_t>(line[digits] - '0');
    ++digits;
  }
  if (digits == 0 || (digits > 1 && line[0] == '0')) return std::nullopt;  // JSON has no leading zeros
  line.remove_prefix(digits);
  if (!take(line, ",") || !take(line, "\"result\"") || !take(line, ":")) return std::nullopt;
  // R runs up to the object's closing brace, the last character but white space.
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.empty() || line.back() != '}') return std::nullopt;
  line.remove_suffix(1);
  return PlainAnswer{id, line};
}

// Resumes a coroutine waiting for its call, on the coroutine's own executor.
class Wake {
 public:
  virtual ~Wake() = default;
  virtual void fire() = 0;  // posts the resumption; later calls do nothing
};

template <typename Handler>
class HandlerWake : public Wake {
 public:
  explicit HandlerWake(Handler handler)
      : handler_(std::move(handler)),
        executor_(asio::prefer(asio::get_associated_executor(handler_),
                               asio::execution::outstanding_work.tracked)) {}
  // Never leaves a coroutine waiting forever: it resumes and finds its call
  // unanswered.
  ~HandlerWake() override { fire(); }
  void fire() override {
    if (fired_) return;
    fired_ = true;
    auto executor = std::move(executor_);
    asio::post(executor, [handler = std::move(handler_)]() mutable { handler(); });
  }

 private:
  Handler handler_;
  decltype(asio::prefer(std::declval<asio::associated_executor_t<Handler>>(),
                        asio::execution::outstanding_work.tracked)) executor_;
  bool fired_ = false;
};

using Wakes = std::vector<std::unique_ptr<Wake>>;

// One call in flight. id, call and deadline are set before the call is
// shared; the rest is guarded by its worker's mutex.
struct Slot {
  std::uint64_t id = 0;
  std::shared_ptr<const WorkerHost::Call> call;
  Clock::time_point deadline;
  bool done = false;
  bool reader = false;  // this call reads the worker's answers
  std::exception_ptr error;
  Value value;
  std::unique_ptr<Wake> wake;  // while the call sleeps
};

// A worker's stdout registered with the event loop of a call that reads its
// answers. It is kept between reads, so that a loop that calls again reads
// without registering again; a service of the loop drops it when the loop
// goes away.
struct Registration {
  std::mutex mutex;
  asio::execution_context* context = nullptr;
  std::unique_ptr<Descriptor> descriptor;  // null once dropped

  void drop() {
    std::lock_guard lock(mutex);
    if (!descriptor) return;
    descriptor->release();  // deregisters; the worker keeps the pipe open
    descriptor.reset();
  }
};

class RegistrationService : public asio::execution_context::service {
 public:
  static inline asio::execution_context::id id;

  explicit RegistrationService(asio::execution_context& context) : service(context) {}

  void add(const std::shared_ptr<Registration>& registration) {
    std::lock_guard lock(mutex_);
    std::erase_if(registrations_, [](const auto& weak) { return weak.expired(); });
    registrations_.push_back(registration);
  }

 private:
  // Runs before the loop's reactor shuts down (services stop in the reverse
  // order of their creation, and this one comes after the first registration).
  void shutdown() override {
    std::vector<std::weak_ptr<Registration>> registrations;
    {
      std::lock_guard lock(mutex_);
      registrations.swap(registrations_);
    }
    for (const auto& weak : registrations)
      if (auto registration = weak.lock()) registration->drop();
  }

  std::mutex mutex_;
  std::vector<std::weak_ptr<Registration>> registrations_;
};

void ignore_sigpipe() {
  // A worker that goes away while we write must not take the server with it.
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

// {"id":N,"action":...,"args":...} and a newline, in one allocation.
std::string request_line(std::uint64_t id, const WorkerHost::Call& call, const Value& args) {
  const std::string arguments = json_text(args);
  char digits[24];
  const auto id_end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  std::string line;
  line.reserve(30 + static_cast<std::size_t>(id_end - digits) + call.action_json.size() +
               arguments.size());
  line.append("{\"id\":").append(digits, id_end);
  line.append(",\"action\":").append(call.action_json);
  line.append(",\"args\":").append(arguments).append("}\n");
  return line;
}

void set_non_blocking(int fd) {
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

}  // namespace

class WorkerHost::Impl {
 public:
  class Worker;

  explicit Impl(PluginOptions options)
      : options_(options), work_(asio::make_work_guard(ioc_)), thread_([this] { run(); }) {
    ignore_sigpipe();
  }

  ~Impl() {
    asio::post(ioc_, [this] { shutdown(); });
    work_.reset();
    thread_.join();
  }

  // Hands the call to the worker of its app, starting one when needed, and
  // returns that worker. Throws AppCallError when no worker can be started.
  std::shared_ptr<Worker> submit(const Call& call, const std::shared_ptr<Slot>& slot,
                                 const std::string& request, Clock::time_point now);
  // Ids are unique across the host's workers, so a request is written whole
  // before it is known which worker takes it.
  std::uint64_t next_id() { return next_id_.fetch_add(1, std::memory_order_relaxed); }
  void detach(Worker* worker);
  void forget(Worker* worker);
  asio::io_context& ioc() { return ioc_; }
  const PluginOptions& options() const { return options_; }

 private:
  void run() {
    for (;;) {
      try {
        ioc_.run();
        return;
      } catch (const std::exception& e) {
        spdlog::error("persistent app host: {}", e.what());
      }
    }
  }
  void shutdown();

  PluginOptions options_;
  asio::io_context ioc_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::mutex mutex_;  // guards what follows; taken before any worker's mutex
  std::map<std::string, std::shared_ptr<Worker>> live_;  // the worker that takes new calls
  std::set<std::shared_ptr<Worker>> all_;                // every worker not yet reaped
  bool stopping_ = false;
  std::atomic<std::uint64_t> next_id_{1};
  std::thread thread_;
};

// One worker process. Its descriptors other than stdout, its timer and its
// stderr tail belong to the host thread; the rest is guarded by mutex_, except
// the answer buffers, which only the call holding the reader role touches.
class WorkerHost::Impl::Worker : public std::enable_shared_from_this<Worker> {
 public:
  // What must be done once the worker's mutex is released.
  struct Aftermath {
    Wakes wakes;
    bool died = false;     // detach it, close its stdin
    bool stopped = false;  // detach it, close its stdin, SIGKILL after the grace time
    bool rearm = false;    // the host must look at the timer again
    bool drain = false;    // the host must write the outbox
  };

  Worker(Impl& host, const Call& first, const process_detail::Spawned& child)
      : host_(host),
        key_(first.app_key),
        stamp_(first.stamp),
        line_cap_(first.output_cap),
        pid_(child.pid),
        in_fd_(child.in),
        out_fd_(child.out),
        last_active_(Clock::now()),
        in_(host.ioc(), child.in),
        err_(host.ioc(), child.err),
        pidfd_(host.ioc(), child.pidfd),
        clock_(host.ioc()) {
    set_non_blocking(in_fd_);
    set_non_blocking(out_fd_);
  }

  ~Worker() {
    if (registration_) registration_->drop();
    ::close(out_fd_);
  }

  const std::string& key() const { return key_; }
  const std::string& stamp() const { return stamp_; }


  // Host thread, once, after the first call was enqueued.
  void start() {
    read_err();
    auto self = shared_from_this();
    pidfd_.async_wait(Descriptor::wait_read, [self](error_code) { self->on_exit(); });
    std::lock_guard lock(mutex_);
    if (!dead_) arm_locked(next_check_locked());
  }

  // Registers the call and writes its request line; false when the worker
  // takes no more calls. `now` is when the call began.
  bool enqueue(const std::shared_ptr<Slot>& slot, const std::string& request,
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

  // No new calls come here; it stops once the calls in flight are answered.
  void retire() {
    Aftermath after;
    {
      std::lock_guard lock(mutex_);
      retired_ = true;
      if (pending_.empty()) stop_locked(after);
    }
    settle(after);
  }

  // Kills the worker; every call in flight fails with `reason` (the call
  // `timed_out`, when given, with its own timeout message).
  void fail(const std::string& reason, std::uint64_t timed_out = 0) {
    Aftermath after;
    {
      std::lock_guard lock(mutex_);
      fail_locked(reason, timed_out, after);
    }
    settle(after);
  }

  void shutdown() {
    fail("the app loader is shutting down");
    std::lock_guard lock(mutex_);
    if (!reaped_) process_detail::kill_group(pid_, SIGKILL);
    ++clock_generation_;
    clock_.cancel();
  }

  // Does what `after` says; never called with a mutex held.
  void settle(Aftermath& after) {
    if (after.died || after.stopped) host_.detach(this);
    if (after.died || after.stopped || after.rearm || after.drain) {
      auto self = shared_from_this();
      asio::post(host_.ioc(), [self, died = after.died, stopped = after.stopped,
                               rearm = after.rearm, drain = after.drain] {
        if (died || stopped) self->close_input();
        if (stopped) self->arm_kill();
        if (rearm) self->rearm();
        if (drain) self->drain();
      });
    }
    for (auto& wake : after.wakes) wake->fire();
    after.wakes.clear();
  }

  // Hands the call to its worker and waits for the outcome, reading the
  // worker's answers while the call holds the reader role.
  static asio::awaitable<Value> outcome(Impl* host, std::shared_ptr<const Call> call, Value args) {
    const Clock::time_point now = Clock::now();
    auto slot = std::make_shared<Slot>();
    slot->id = host->next_id();
    slot->deadline = later(now, call->timeout);
    slot->call = call;
    std::shared_ptr<Worker> self = host->submit(*call, slot, request_line(slot->id, *call, args), now);
    CallGuard guard{std::move(self), std::move(slot)};
    Worker& worker = *guard.worker;
    const std::shared_ptr<Slot>& mine = guard.slot;
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
          [](auto handler, Worker* owner, std::shared_ptr<Slot> waiting) {
            auto wake = std::make_unique<HandlerWake<std::decay_t<decltype(handler)>>>(
                std::move(handler));
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
        throw AppCallError(mine->call->context + ": app call abandoned: the app loader stopped");
    }
    if (mine->error) std::rethrow_exception(mine->error);
    co_return std::move(mine->value);
  }

 private:
  // Ends a call's stay: an unanswered call (its coroutine went away) leaves the
  // calls in flight, and a reader hands its role on.
  struct CallGuard {
    std::shared_ptr<Worker> worker;
    std::shared_ptr<Slot> slot;
    ~CallGuard() {
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
    }
  };

  // The registration of stdout with the event loop of `executor`: the one
  // kept from the last read when it was on the same loop, or a new one.
  // Reader role only. Throws boost::system::system_error.
  Registration& registration_for(const asio::any_io_executor& executor) {
    asio::execution_context& context = asio::query(executor, asio::execution::context);
    if (registration_ && registration_->context == &context) {
      std::lock_guard lock(registration_->mutex);
      if (registration_->descriptor) return *registration_;
    }
    if (registration_) registration_->drop();
    registration_.reset();
    auto registration = std::make_shared<Registration>();
    registration->context = &context;
    registration->descriptor = std::make_unique<Descriptor>(executor);
    registration->descriptor->assign(out_fd_);
    asio::use_service<RegistrationService>(context).add(registration);
    registration_ = std::move(registration);
    return *registration_;
  }

  // Lets fail() cancel the read of the call holding the reader role.
  struct ReadingScope {
    Worker& worker;
    ReadingScope(Worker& w, Registration* registration) : worker(w) {
      std::lock_guard lock(worker.mutex_);
      worker.reader_ = registration;
    }
    ~ReadingScope() {
      std::lock_guard lock(worker.mutex_);
      worker.reader_ = nullptr;
    }
  };

  // The registration to read through, or null when the worker was failed
  // because its answers cannot be read on this loop.
  Registration* reading_registration(const asio::any_io_executor& executor) {
    try {
      return &registration_for(executor);
    } catch (const boost::system::system_error& e) {
      fail(fmt::format("worker stopped: its answers cannot be read: {}", e.what()));
      return nullptr;
    }
  }

  // Reads what the pipe holds without waiting; true when `mine` is over or
  // nobody is to read any more.
  bool read_ready(const std::shared_ptr<Slot>& mine) {
    for (;;) {
      ssize_t n = ::read(out_fd_, read_buffer_.data(), read_buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return false;  // EAGAIN: wait for the answer
      if (n > 0) consume(static_cast<std::size_t>(n));
      std::lock_guard lock(mutex_);
      if (dead_ || mine->done) return true;
      if (n == 0) {
        mine->reader = false;  // see keep_reading
        return true;
      }
    }
  }

  // One read of the worker's stdout through the loop.
  asio::awaitable<std::size_t> read_some(Registration* registration, error_code& ec) {
    auto token = asio::redirect_error(asio::use_awaitable, ec);
    return asio::async_initiate<decltype(token), void(error_code, std::size_t)>(
        [](auto handler, Worker* worker, Registration* registration) {
          std::unique_lock lock(worker->mutex_);
          if (!worker->dead_) {
            std::lock_guard hold(registration->mutex);
            if (registration->descriptor) {
              registration->descriptor->async_read_some(asio::buffer(worker->read_buffer_),
                                                        std::move(handler));
              return;
            }
          }
          lock.unlock();
          auto ex = asio::get_associated_executor(handler);
          asio::post(ex, [handler = std::move(handler)]() mutable {
            handler(error_code(asio::error::operation_aborted), std::size_t{0});
          });
        },
        token, this, registration);
  }

  // Takes in what a read brought; false when `mine` is over or nobody is to
  // read any more.
  bool keep_reading(const std::shared_ptr<Slot>& mine, std::size_t n, error_code ec) {
    if (n > 0) consume(n);  // after a failure the answers only find no calls
    std::lock_guard lock(mutex_);
    if (dead_ || mine->done) return false;
    if (ec) {
      // At the end of stdout the exit watcher says what happened; nobody
      // reads any more.
      mine->reader = false;
      return false;
    }
    return true;
  }

  // Splits what was read into answer lines.
  void consume(std::size_t n) {
    std::size_t from = line_.size();
    line_.append(read_buffer_.data(), n);
    std::size_t start = 0;
    for (;;) {
      std::size_t newline = line_.find('\n', from);
      if (newline == std::string::npos) break;
      if (newline - start > line_cap_) return fail(too_long());
      std::string_view line(line_.data() + start, newline - start);
      start = from = newline + 1;
      if (!handle_line(line)) return;
    }
    line_.erase(0, start);
    if (line_.size() > line_cap_) return fail(too_long());
  }

  std::string too_long() const {
    return fmt::format("worker stopped: an answer line exceeds {} bytes", line_cap_);
  }

  // False when the worker was failed.
  bool handle_line(std::string_view line) {
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) return true;
    std::uint64_t id;
    std::optional<Value> result, answer;
    if (auto plain = plain_answer(line)) {
      // The envelope takes one level of the depth the whole line may have.
      result = try_parse_json(plain->result, k_max_json_depth - 1);
      id = plain->id;
    }
    if (!result) {
      answer = try_parse_json(line);
      if (!answer || !answer->is_object()) {
        fail("worker stopped: it wrote a line that is not a JSON object: " + excerpt(line));
        return false;
      }
      auto id_member = answer->find("id");
      if (id_member == answer->end() || !id_member->is_number_integer() ||
          id_member->get<long long>() < 0) {
        fail("worker stopped: it wrote an answer without a valid \"id\": " + excerpt(line));
        return false;
      }
      id = id_member->get<std::uint64_t>();
    }
    Aftermath after;
    {
      std::lock_guard lock(mutex_);
      if (dead_) return false;
      auto found = pending_.find(id);
      if (found == pending_.end()) return true;  // not a call in flight: ignored
      std::shared_ptr<Slot> slot = std::move(found->second);
      pending_.erase(found);
      if (result) {
        slot->value = std::move(*result);
      } else {
        try {
          slot->value = interpret_worker_answer(std::move(*answer), slot->call->context);
        } catch (...) {
          slot->error = std::current_exception();
        }
      }
      slot->done = true;
      if (slot->wake) after.wakes.push_back(std::move(slot->wake));
      after_answer_locked(after);
    }
    settle(after);
    return true;
  }

  void after_answer_locked(Aftermath& after) {
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
  void hand_off_locked(Aftermath& after) {
    if (dead_ || pending_.empty()) {
      reading_ = false;
      return;
    }
    Slot& next = *pending_.begin()->second;
    next.reader = true;
    if (next.wake) after.wakes.push_back(std::move(next.wake));
  }

  void write_locked(const std::string& request, Aftermath& after) {
    if (in_fd_ < 0) return fail_locked("could not write to the worker: its input is closed", 0, after);
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
  void drain() {
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

  void fail_locked(const std::string& reason, std::uint64_t timed_out, Aftermath& after) {
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
      std::string message = id == timed_out ? fmt::format("{}: timed out after {:g} s",
                                                          call.context, seconds(call.timeout))
                                            : fmt::format("{}: {}", call.context, reason);
      slot->error = std::make_exception_ptr(AppCallError(message));
      slot->done = true;
      if (slot->wake) after.wakes.push_back(std::move(slot->wake));
    }
    pending_.clear();
  }

  // Closes stdin, which tells a well-behaved worker to exit; SIGKILL follows
  // after the grace time.
  void stop_locked(Aftermath& after) {
    if (dead_ || !pending_.empty()) return;
    dead_ = true;
    after.stopped = true;
    in_fd_ = -1;
  }

  // Host thread.
  void close_input() {
    error_code ec;
    in_.close(ec);
  }

  // Host thread.
  void arm_kill() {
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
  Clock::time_point next_check_locked() const {
    const Clock::time_point idle_end = later(last_active_, host_.options().idle_stop);
    if (pending_.empty()) return idle_end;
    Clock::time_point earliest = Clock::time_point::max();
    for (const auto& [id, slot] : pending_) earliest = std::min(earliest, slot->deadline);
    return idle_end > Clock::now() ? std::min(earliest, idle_end) : earliest;
  }

  // Host thread, with mutex_ held.
  void arm_locked(Clock::time_point at) {
    armed_at_ = at;
    const std::uint64_t generation = ++clock_generation_;
    clock_.expires_at(at);
    auto self = shared_from_this();
    clock_.async_wait([self, generation](error_code ec) {
      if (!ec) self->on_clock(generation);
    });
  }

  // Host thread.
  void rearm() {
    std::lock_guard lock(mutex_);
    if (!dead_) arm_locked(next_check_locked());
  }

  // Host thread: a deadline or the idle time may have passed.
  void on_clock(std::uint64_t generation) {
    Aftermath after;
    {
      std::lock_guard lock(mutex_);
      if (dead_ || generation != clock_generation_) return;
      const Clock::time_point now = Clock::now();
      std::shared_ptr<Slot> late;
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

  void read_err() {
    auto self = shared_from_this();
    err_.async_read_some(asio::buffer(err_buffer_), [self](error_code ec, std::size_t n) {
      self->keep_stderr(n);
      if (!ec) self->read_err();
    });
  }

  void keep_stderr(std::size_t n) {
    err_tail_.append(err_buffer_.data(), n);
    if (err_tail_.size() > 2 * k_stderr_keep) err_tail_.erase(0, err_tail_.size() - k_stderr_keep);
  }

  // Host thread.
  void on_exit() {
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

  Impl& host_;
  const std::string key_;
  const std::string stamp_;
  const std::size_t line_cap_;
  const pid_t pid_;

  std::mutex mutex_;
  std::map<std::uint64_t, std::shared_ptr<Slot>> pending_;
  int in_fd_;                    // -1 once stdin is to be closed
  const int out_fd_;             // open as long as the worker object lives
  std::deque<std::string> outbox_;  // what the pipe did not take yet, in order
  bool draining_ = false;        // the host writes the outbox
  bool reading_ = false;         // a call holds the reader role (or stdout ended)
  Registration* reader_ = nullptr;  // the registration that call reads through
  bool dead_ = false;            // takes no calls any more
  bool reaped_ = false;          // the process is gone: never signal its group again
  bool retired_ = false;         // replaced by a newer worker; stops when idle
  Clock::time_point last_active_;
  Clock::time_point armed_at_ = Clock::time_point::max();  // when the host timer fires
  std::uint64_t clock_generation_ = 0;

  // Reader role only.
  std::shared_ptr<Registration> registration_;
  std::array<char, 65536> read_buffer_;
  std::string line_;

  // Host thread only.
  Descriptor in_, err_, pidfd_;
  asio::steady_timer clock_;
  std::array<char, 16384> err_buffer_;
  std::string err_tail_;
};

std::shared_ptr<WorkerHost::Impl::Worker> WorkerHost::Impl::submit(
    const Call& call, const std::shared_ptr<Slot>& slot, const std::string& request,
    Clock::time_point now) {
  std::shared_ptr<Worker> worker, retired;
  Worker::Aftermath after;
  {
    std::lock_guard lock(mutex_);
    for (;;) {
      if (stopping_) throw AppCallError(call.context + ": the app loader is shutting down");
      auto found = live_.find(call.app_key);
      if (found != live_.end() && found->second->stamp() != call.stamp) {
        retired = found->second;
        live_.erase(found);
        found = live_.end();
      }
      if (found != live_.end()) {
        worker = found->second;
        if (worker->enqueue(slot, request, now, after)) break;
        live_.erase(found);  // it stopped or died: the next round replaces it
        continue;
      }
      ProcessSpec plan;
      plan.argv = {call.program, "--serve"};
      plan.cwd = call.folder;
      plan.env = minimal_environment();
      process_detail::Spawned child;
      try {
        child = process_detail::spawn(plan);
      } catch (const ProcessError& e) {
        throw AppCallError(call.context + ": " + e.what());
      }
      worker = std::make_shared<Worker>(*this, call, child);
      all_.insert(worker);
      live_.emplace(call.app_key, worker);
      // Nothing fails a worker before it starts, so the first call always goes in.
      worker->enqueue(slot, request, now, after);
      asio::post(ioc_, [worker] { worker->start(); });
      break;
    }
  }
  if (retired) retired->retire();
  worker->settle(after);
  return worker;
}

void WorkerHost::Impl::detach(Worker* worker) {
  std::lock_guard lock(mutex_);
  auto found = live_.find(worker->key());
  if (found != live_.end() && found->second.get() == worker) live_.erase(found);
}

void WorkerHost::Impl::forget(Worker* worker) {
  std::lock_guard lock(mutex_);
  for (auto it = all_.begin(); it != all_.end(); ++it)
    if (it->get() == worker) {
      all_.erase(it);
      return;
    }
}

void WorkerHost::Impl::shutdown() {
  std::set<std::shared_ptr<Worker>> workers;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    workers = all_;
  }
  for (const auto& worker : workers) worker->shutdown();
}

WorkerHost::WorkerHost(PluginOptions options) : impl_(std::make_unique<Impl>(options)) {}

WorkerHost::~WorkerHost() = default;

// Not a coroutine itself: the call's one frame is outcome's, which starts
// only when awaited.
boost::asio::awaitable<Value> WorkerHost::call(std::shared_ptr<const Call> call, Value args) {
  return Impl::Worker::outcome(impl_.get(), std::move(call), std::move(args));
}

}  // namespace vqflow
