#pragma once
#include <chrono>
#include <memory>

#include "context/services.h"
#include "rpc/rpc_registry.h"
#include "run/run_tracker.h"
#include "timers/manage_timer.h"
#include "timers/service_lock.h"

namespace vqflow {

// What the scheduler needs from the host: the services' loop, their
// max_instances, and a job function that starts a run of the playbook through
// auto_execute (with the playbook id alone) and reports back when it is closed.
// With a tracker, each such run is counted there until it is closed.
SchedulerSetup scheduler_setup_for(std::shared_ptr<Services> services,
                                   std::shared_ptr<RunTracker> tracker = nullptr);

// How long a standby waits between attempts to take the timer lock.
constexpr std::chrono::seconds k_standby_retry_default{3};

// The timer service of a serving process: its database lock, the service
// object, and the scheduler of vq_timer. A process that finds the lock held
// waits as a standby: it retries the lock every `standby_retry` and starts
// the timers once it gets it, which is within one retry of the holder's death
// when the holder was a process of this host, else within the lock's ttl; until then the timer
// methods answer an error. A holder that loses the lock stops its timers and becomes a standby
// again, so that no two processes fire the timers at once. Destroying it shuts the scheduler down,
// drops it and releases the lock: destroy it before the io_context, and stop calling the registered
// methods first. Lives on the loop thread.
class TimerHost {
 public:
  // Takes the lock or, when another process holds it, becomes a standby;
  // creates ManageTimer and registers the remote operations in `registry`.
  // Holding the lock, it calls start() (restores the stored timers). Call on
  // the loop thread, before serving. With a tracker, the runs the timers
  // start are counted there until closed. Throws StoreError when the store
  // fails at the first attempt.
  static std::unique_ptr<TimerHost> start(
      std::shared_ptr<Services> services, RpcRegistry& registry,
      ServiceLockOptions lock_options = {}, std::shared_ptr<RunTracker> tracker = nullptr,
      std::chrono::milliseconds standby_retry = k_standby_retry_default);
  ~TimerHost();
  TimerHost(const TimerHost&) = delete;
  TimerHost& operator=(const TimerHost&) = delete;

  ManageTimer& service();
  // True while this process holds the lock and runs the timers.
  bool active() const;

  struct State;

 private:
  TimerHost() = default;
  std::shared_ptr<State> state_;
};

}  // namespace vqflow
