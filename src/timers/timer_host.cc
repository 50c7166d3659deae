#include "timers/timer_host.h"

#include <spdlog/spdlog.h>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "rpc/json_rpc.h"
#include "run/auto_execute.h"
#include "timers/timer_rpc.h"

namespace vqflow {

SchedulerSetup scheduler_setup_for(std::shared_ptr<Services> services,
                                   std::shared_ptr<RunTracker> tracker) {
  SchedulerSetup setup;
  setup.executor = services->executor;
  setup.max_instances = services->config.max_instances;
  setup.clock = services->clock;
  setup.run_playbook = [services, tracker](const Value& uuid, const std::string& timer_id,
                                           JobDone done) {
    services->metrics->timers_fired.add();
    std::string playbook = uuid.is_string() ? uuid.get<std::string>() : text_form(uuid);
    // Counted before the run can close; a run that closes before it is named
    // has already been dropped, and naming it then does nothing.
    const std::uint64_t ticket = tracker ? tracker->begin(playbook) : 0;
    try {
      const std::string only_id = auto_execute(services, playbook, nullptr, RunRequest{},
                                               [done, tracker, ticket](const RunOutcome&) {
                                                 if (tracker) tracker->finish(ticket);
                                                 done();
                                               });
      if (tracker) tracker->name(ticket, only_id);
      spdlog::info("timer {} fired: playbook {}, run {}", timer_id, playbook, only_id);
    } catch (...) {
      if (tracker) tracker->finish(ticket);
      done();
      throw;
    }
  };
  return setup;
}

// Everything the host's callbacks touch; they hold it weakly, so a callback
// that comes after the host is gone does nothing. Loop thread only.
struct TimerHost::State : std::enable_shared_from_this<TimerHost::State> {
  State(std::shared_ptr<Services> services, ServiceLockOptions lock_options,
        std::chrono::milliseconds standby_retry)
      : services(std::move(services)),
        lock_options(std::move(lock_options)),
        standby_retry(standby_retry),
        retry(this->services->executor) {}

  std::shared_ptr<Services> services;
  ServiceLockOptions lock_options;
  std::chrono::milliseconds standby_retry;
  boost::asio::steady_timer retry;
  std::shared_ptr<TimerServiceLock> lock;
  std::unique_ptr<ManageTimer> service;
  bool active = false;
  bool standby_logged = false;

  // Takes the lock and starts the timers; false when another process holds it.
  // Throws StoreError (from the store) or what restoring the timers throws.
  bool try_take() {
    try {
      lock = TimerServiceLock::acquire(services->kv, services->executor, lock_options,
                                       [weak = weak_from_this()] {
                                         if (auto self = weak.lock()) self->lost();
                                       });
    } catch (const ServiceLockError& e) {
      if (!standby_logged)
        spdlog::info("timer service: standby, retrying every {} ms: {}", standby_retry.count(),
                     e.what());
      standby_logged = true;
      return false;
    }
    if (standby_logged) spdlog::info("timer service: lock taken; this process runs the timers now");
    standby_logged = false;
    service->start();
    active = true;
    return true;
  }

  // Another process holds the lock now: firing here too would run the timers twice.
  void lost() {
    active = false;
    if (vq_timer.scheduler) vq_timer.shutdown();
    standby_logged = true;
    spdlog::info("timer service: standby, retrying every {} ms", standby_retry.count());
    // The lock object calls this from its own renewal; it is dropped later.
    boost::asio::post(services->executor, [weak = weak_from_this()] {
      if (auto self = weak.lock()) {
        self->lock.reset();
        self->wait_for_lock();
      }
    });
  }

  void wait_for_lock() {
    retry.expires_after(standby_retry);
    retry.async_wait([weak = weak_from_this()](const boost::system::error_code& ec) {
      auto self = weak.lock();
      if (ec || !self || self->active) return;
      try {
        if (self->try_take()) return;
      } catch (const std::exception& e) {
        spdlog::error("timer service: taking over: {}", e.what());
        self->lock.reset();
        if (vq_timer.scheduler) vq_timer.shutdown();
      }
      self->wait_for_lock();
    });
  }
};

std::unique_ptr<TimerHost> TimerHost::start(std::shared_ptr<Services> services,
                                            RpcRegistry& registry, ServiceLockOptions lock_options,
                                            std::shared_ptr<RunTracker> tracker,
                                            std::chrono::milliseconds standby_retry) {
  std::unique_ptr<TimerHost> host(new TimerHost());
  lock_options.clock = services->clock;
  auto state = std::make_shared<State>(services, std::move(lock_options), standby_retry);
  host->state_ = state;
  state->service = std::make_unique<ManageTimer>(services->db,
                                                 scheduler_setup_for(services, std::move(tracker)));
  // The registry is read-only once serving, so the methods are there from the
  // start and refuse while this process is a standby.
  RpcRegistry own;
  register_timer_methods(own, *state->service);
  for (const std::string& name : own.names()) {
    registry.add(
        name,
        [weak = std::weak_ptr<State>(state),
         method = *own.find(name)](const Value& params) -> Value {
          auto self = weak.lock();
          if (!self || !self->active)
            throw RpcError(
                k_rpc_server_error,
                "timer service: this server is a standby; another process runs the timers");
          return method(params);
        });
  }
  if (!state->try_take()) state->wait_for_lock();
  return host;
}

ManageTimer& TimerHost::service() { return *state_->service; }

bool TimerHost::active() const { return state_->active; }

// What shut_down throws is caught below; the state's members end without
// throwing (the lock logs a failed release itself), which the check cannot see.
// NOLINTNEXTLINE(bugprone-exception-escape)
TimerHost::~TimerHost() {
  auto shut_down = [this] {
    state_->retry.cancel();
    // A standby has no scheduler of its own to stop.
    if (!state_->active) return;
    try {
      if (vq_timer.scheduler) vq_timer.shutdown();
    } catch (const std::exception& e) {
      spdlog::error("timer service: shutting down: {}", e.what());
    }
    // The scheduler posts to the loop; it must not outlive it.
    vq_timer.scheduler.reset();
    state_->lock.reset();
  };
  // A destructor must not throw: what can (a cancel without a reactor, the
  // process log) leaves nothing else to do.
  try {
    shut_down();
  } catch (...) {
  }
}

}  // namespace vqflow
