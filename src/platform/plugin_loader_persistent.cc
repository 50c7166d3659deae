#include "platform/plugin_loader_persistent.h"

#include <fmt/format.h>
#include <signal.h>
#include <spdlog/spdlog.h>

#include <array>
#include <boost/asio/async_result.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <deque>
#include <map>
#include <set>
#include <thread>

#include "platform/errors.h"
#include "platform/process_runner.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace asio = boost::asio;
using boost::system::error_code;
using Descriptor = asio::posix::stream_descriptor;

Value interpret_worker_answer(const Value& answer, const std::string& context) {
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
  if (auto result = answer.find("result"); result != answer.end()) return *result;
  throw AppCallError(context + ": the answer has neither \"result\" nor \"error\"");
}

namespace {

constexpr std::size_t k_stderr_keep = 64u << 10;

double seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

std::string excerpt(const std::string& text) {
  constexpr std::size_t limit = 200;
  std::string cut = text.size() > limit ? text.substr(0, limit) + "..." : text;
  return json_text(Value(cut));
}

// Hands a call's outcome to the awaiting coroutine on its own executor.
class Completion {
 public:
  virtual ~Completion() = default;
  virtual void complete(std::exception_ptr error, Value value) = 0;
};

template <typename Handler>
class HandlerCompletion : public Completion {
 public:
  explicit HandlerCompletion(Handler handler)
      : handler_(std::move(handler)),
        executor_(asio::prefer(asio::get_associated_executor(handler_),
                               asio::execution::outstanding_work.tracked)) {}
  ~HandlerCompletion() override {
    // Never leave a coroutine waiting forever.
    if (!done_)
      complete(std::make_exception_ptr(AppCallError("app call abandoned: the app loader stopped")),
               Value());
  }
  void complete(std::exception_ptr error, Value value) override {
    if (done_) return;
    done_ = true;
    auto executor = std::move(executor_);
    asio::post(executor,
               [handler = std::move(handler_), error, value = std::move(value)]() mutable {
                 handler(error, std::move(value));
               });
  }

 private:
  Handler handler_;
  decltype(asio::prefer(std::declval<asio::associated_executor_t<Handler>>(),
                        asio::execution::outstanding_work.tracked)) executor_;
  bool done_ = false;
};

}  // namespace

class WorkerHost::Impl {
 public:
  class Worker;

  explicit Impl(PluginOptions options)
      : options_(options), work_(asio::make_work_guard(ioc_)), thread_([this] { run(); }) {}

  ~Impl() {
    asio::post(ioc_, [this] { shutdown(); });
    work_.reset();
    thread_.join();
  }

  void submit(Call call, std::unique_ptr<Completion> done);
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
  std::map<std::string, std::shared_ptr<Worker>> live_;  // the worker that takes new calls
  std::set<std::shared_ptr<Worker>> all_;                // every worker not yet reaped
  bool stopping_ = false;
  std::thread thread_;
};

// One worker process. Touched only on the host thread.
class WorkerHost::Impl::Worker : public std::enable_shared_from_this<Worker> {
 public:
  Worker(Impl& host, const Call& first, const process_detail::Spawned& child)
      : host_(host),
        key_(first.app_key),
        stamp_(first.stamp),
        line_cap_(first.output_cap),
        pid_(child.pid),
        in_(host.ioc(), child.in),
        out_(host.ioc(), child.out),
        err_(host.ioc(), child.err),
        pidfd_(host.ioc(), child.pidfd),
        idle_(host.ioc()) {}

  const std::string& key() const { return key_; }
  const std::string& stamp() const { return stamp_; }

  void start() {
    read_out();
    read_err();
    auto self = shared_from_this();
    pidfd_.async_wait(Descriptor::wait_read, [self](error_code) { self->on_exit(); });
  }

  void enqueue(Call call, std::unique_ptr<Completion> done) {
    ++idle_generation_;
    idle_.cancel();
    const std::uint64_t id = next_id_++;
    Value request = Value::object();
    request["id"] = id;
    request["action"] = call.action;
    request["args"] = std::move(call.args);
    Pending pending{std::move(call.context), std::move(done),
                    std::make_unique<asio::steady_timer>(host_.ioc()), call.timeout};
    pending.timer->expires_after(call.timeout);
    auto self = shared_from_this();
    pending.timer->async_wait([self, id](error_code ec) {
      if (!ec) self->on_timeout(id);
    });
    pending_.emplace(id, std::move(pending));
    outbox_.push_back(json_text(request) + "\n");
    if (!writing_) write_next();
  }

  // Kills the worker; every call in flight fails with `reason` (the call
  // `timed_out`, when given, with its own timeout message).
  void fail(const std::string& reason, std::uint64_t timed_out = 0) {
    if (dead_) return;
    dead_ = true;
    auto self = shared_from_this();
    host_.detach(this);
    if (!reaped_) process_detail::kill_group(pid_, SIGKILL);
    close_io();
    auto calls = std::move(pending_);
    pending_.clear();
    for (auto& [id, call] : calls) {
      call.timer->cancel();
      std::string message = id == timed_out ? fmt::format("{}: timed out after {:g} s",
                                                          call.context, seconds(call.timeout))
                                            : fmt::format("{}: {}", call.context, reason);
      call.done->complete(std::make_exception_ptr(AppCallError(message)), Value());
    }
  }

  // No new calls come here; it stops once the calls in flight are answered.
  void retire() {
    retired_ = true;
    if (pending_.empty()) stop_gracefully();
  }

  void shutdown() {
    fail("the app loader is shutting down");
    if (!reaped_) process_detail::kill_group(pid_, SIGKILL);
    idle_.cancel();
  }

 private:
  struct Pending {
    std::string context;
    std::unique_ptr<Completion> done;
    std::unique_ptr<asio::steady_timer> timer;
    std::chrono::steady_clock::duration timeout;
  };

  void close_io() {
    error_code ec;
    in_.close(ec);
    out_.close(ec);
    outbox_.clear();
  }

  void write_next() {
    if (dead_ || outbox_.empty()) {
      writing_ = false;
      return;
    }
    writing_ = true;
    auto self = shared_from_this();
    asio::async_write(in_, asio::buffer(outbox_.front()), [self](error_code ec, std::size_t) {
      if (self->dead_) return;
      if (ec) return self->fail("could not write to the worker: " + ec.message());
      self->outbox_.pop_front();
      self->write_next();
    });
  }

  void read_out() {
    auto self = shared_from_this();
    out_.async_read_some(asio::buffer(read_buffer_),
                         [self](error_code ec, std::size_t n) { self->on_out(ec, n); });
  }

  void on_out(error_code ec, std::size_t n) {
    if (dead_) return;
    std::size_t from = line_.size();
    line_.append(read_buffer_.data(), n);
    std::size_t start = 0;
    for (;;) {
      std::size_t newline = line_.find('\n', from);
      if (newline == std::string::npos) break;
      if (newline - start > line_cap_) return fail(too_long());
      std::string line = line_.substr(start, newline - start);
      start = from = newline + 1;
      handle_line(line);
      if (dead_) return;
    }
    line_.erase(0, start);
    if (line_.size() > line_cap_) return fail(too_long());
    // At the end of stdout the exit watcher says what happened.
    if (!ec) read_out();
  }

  std::string too_long() const {
    return fmt::format("worker stopped: an answer line exceeds {} bytes", line_cap_);
  }

  void handle_line(const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    auto answer = try_parse_json(line);
    if (!answer || !answer->is_object())
      return fail("worker stopped: it wrote a line that is not a JSON object: " + excerpt(line));
    auto id_member = answer->find("id");
    if (id_member == answer->end() || !id_member->is_number_integer() ||
        id_member->get<long long>() < 0)
      return fail("worker stopped: it wrote an answer without a valid \"id\": " + excerpt(line));
    auto found = pending_.find(id_member->get<std::uint64_t>());
    if (found == pending_.end()) return;  // not a call in flight: ignored
    Pending call = std::move(found->second);
    pending_.erase(found);
    call.timer->cancel();
    try {
      call.done->complete(nullptr, interpret_worker_answer(*answer, call.context));
    } catch (...) {
      call.done->complete(std::current_exception(), Value());
    }
    after_call();
  }

  void after_call() {
    if (!pending_.empty() || dead_) return;
    if (retired_) return stop_gracefully();
    const std::uint64_t generation = ++idle_generation_;
    idle_.expires_after(host_.options().idle_stop);
    auto self = shared_from_this();
    idle_.async_wait([self, generation](error_code ec) {
      if (ec || self->dead_ || generation != self->idle_generation_ || !self->pending_.empty())
        return;
      self->stop_gracefully();
    });
  }

  void on_timeout(std::uint64_t id) {
    if (dead_ || pending_.count(id) == 0) return;
    fail("worker stopped: another call on it timed out", id);
  }

  // Closes stdin, which tells a well-behaved worker to exit; SIGKILL follows
  // after the grace time.
  void stop_gracefully() {
    if (dead_) return;
    dead_ = true;
    host_.detach(this);
    close_io();
    ++idle_generation_;
    idle_.expires_after(host_.options().kill_grace);
    auto self = shared_from_this();
    idle_.async_wait([self](error_code ec) {
      if (!ec && !self->reaped_) process_detail::kill_group(self->pid_, SIGKILL);
    });
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

  void on_exit() {
    // The worker is a zombie until reaped: its group id is still ours to signal.
    process_detail::kill_group(pid_, SIGKILL);
    ProcessResult ending;
    process_detail::reap(pid_, ending);
    reaped_ = true;
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
    idle_.cancel();
    host_.forget(this);
  }

  Impl& host_;
  std::string key_;
  std::string stamp_;
  std::size_t line_cap_;
  pid_t pid_;
  Descriptor in_, out_, err_, pidfd_;
  asio::steady_timer idle_;
  std::uint64_t idle_generation_ = 0;
  std::map<std::uint64_t, Pending> pending_;
  std::uint64_t next_id_ = 1;
  std::deque<std::string> outbox_;
  bool writing_ = false;
  bool dead_ = false;     // takes no calls any more
  bool reaped_ = false;   // the process is gone: never signal its group again
  bool retired_ = false;  // replaced by a newer worker; stops when idle
  std::array<char, 65536> read_buffer_;
  std::array<char, 16384> err_buffer_;
  std::string line_;
  std::string err_tail_;
};

void WorkerHost::Impl::submit(Call call, std::unique_ptr<Completion> done) {
  if (stopping_) {
    done->complete(
        std::make_exception_ptr(AppCallError(call.context + ": the app loader is shutting down")),
        Value());
    return;
  }
  auto found = live_.find(call.app_key);
  if (found != live_.end() && found->second->stamp() != call.stamp) {
    auto old = found->second;
    live_.erase(found);
    old->retire();
    found = live_.end();
  }
  if (found == live_.end()) {
    ProcessSpec plan;
    plan.argv = {call.program, "--serve"};
    plan.cwd = call.folder;
    plan.env = minimal_environment();
    process_detail::Spawned child;
    try {
      child = process_detail::spawn(plan);
    } catch (const ProcessError& e) {
      done->complete(std::make_exception_ptr(AppCallError(call.context + ": " + e.what())),
                     Value());
      return;
    }
    auto worker = std::make_shared<Worker>(*this, call, child);
    worker->start();
    all_.insert(worker);
    found = live_.emplace(call.app_key, worker).first;
  }
  found->second->enqueue(std::move(call), std::move(done));
}

void WorkerHost::Impl::detach(Worker* worker) {
  auto found = live_.find(worker->key());
  if (found != live_.end() && found->second.get() == worker) live_.erase(found);
}

void WorkerHost::Impl::forget(Worker* worker) {
  for (auto it = all_.begin(); it != all_.end(); ++it)
    if (it->get() == worker) {
      all_.erase(it);
      return;
    }
}

void WorkerHost::Impl::shutdown() {
  stopping_ = true;
  auto workers = all_;
  for (const auto& worker : workers) worker->shutdown();
}

WorkerHost::WorkerHost(PluginOptions options) : impl_(std::make_unique<Impl>(options)) {}

WorkerHost::~WorkerHost() = default;

boost::asio::awaitable<Value> WorkerHost::call(Call call) {
  Impl* host = impl_.get();
  co_return co_await asio::async_initiate<decltype(asio::use_awaitable),
                                          void(std::exception_ptr, Value)>(
      [host](auto handler, Call call) {
        std::unique_ptr<Completion> done =
            std::make_unique<HandlerCompletion<std::decay_t<decltype(handler)>>>(
                std::move(handler));
        asio::post(host->ioc(), [host, call = std::move(call), done = std::move(done)]() mutable {
          host->submit(std::move(call), std::move(done));
        });
      },
      asio::use_awaitable, std::move(call));
}

}  // namespace vqflow
