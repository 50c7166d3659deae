#include "plugins/plugin_loader_persistent.h"

#include <signal.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "base/errors.h"
#include "plugins/persistent_worker.h"
#include "plugins/process_runner.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace asio = boost::asio;

namespace {

void ignore_sigpipe() {
  // A worker that goes away while we write must not take the server with it.
  static std::once_flag once;
  std::call_once(once, [] { ::signal(SIGPIPE, SIG_IGN); });
}

}  // namespace

// The host's thread and loop, and its workers: the live one of each app, and
// every one not yet reaped.
class WorkerHost::Impl : public WorkerOwner {
 public:
  explicit Impl(PluginOptions options)
      : options_(options), work_(asio::make_work_guard(ioc_)), thread_([this] { run(); }) {
    ignore_sigpipe();
  }

  ~Impl() {
    asio::post(ioc_, [this] { shutdown(); });
    work_.reset();
    thread_.join();
  }

  std::shared_ptr<PersistentWorker> submit(const Call& call,
                                           const std::shared_ptr<WorkerSlot>& slot,
                                           const std::string& request,
                                           WorkerClock::time_point now) override;
  std::uint64_t next_id() override { return next_id_.fetch_add(1, std::memory_order_relaxed); }
  void detach(PersistentWorker* worker) override;
  void forget(PersistentWorker* worker) override;
  asio::io_context& ioc() override { return ioc_; }
  const PluginOptions& options() const override { return options_; }

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
  std::map<std::string, std::shared_ptr<PersistentWorker>> live_;  // the one taking new calls
  std::set<std::shared_ptr<PersistentWorker>> all_;                // every one not yet reaped
  bool stopping_ = false;
  std::atomic<std::uint64_t> next_id_{1};
  std::thread thread_;
};

std::shared_ptr<PersistentWorker> WorkerHost::Impl::submit(const Call& call,
                                                           const std::shared_ptr<WorkerSlot>& slot,
                                                           const std::string& request,
                                                           WorkerClock::time_point now) {
  std::shared_ptr<PersistentWorker> worker, retired;
  PersistentWorker::Aftermath after;
  {
    std::lock_guard lock(mutex_);
    for (;;) {
      if (stopping_) throw AppCallError(call.context, "the app loader is shutting down", "");
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
        throw AppCallError(call.context, e.what(), "");
      }
      worker = std::make_shared<PersistentWorker>(*this, call, child);
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

void WorkerHost::Impl::detach(PersistentWorker* worker) {
  std::lock_guard lock(mutex_);
  auto found = live_.find(worker->key());
  if (found != live_.end() && found->second.get() == worker) live_.erase(found);
}

void WorkerHost::Impl::forget(PersistentWorker* worker) {
  std::lock_guard lock(mutex_);
  for (auto it = all_.begin(); it != all_.end(); ++it)
    if (it->get() == worker) {
      all_.erase(it);
      return;
    }
}

void WorkerHost::Impl::shutdown() {
  std::set<std::shared_ptr<PersistentWorker>> workers;
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
boost::asio::awaitable<Value> WorkerHost::call(std::shared_ptr<const Call> call, Value args,
                                               CallControl control) {
  return PersistentWorker::outcome(impl_.get(), std::move(call), std::move(args),
                                   std::move(control));
}

}  // namespace vqflow
