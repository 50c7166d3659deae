#pragma once
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

// The timer service of a serving process: its database lock, the service
// object, and the scheduler of vq_timer. Destroying it shuts the scheduler
// down, drops it and releases the lock: destroy it before the io_context, and
// stop calling the registered methods first. Lives on the loop thread.
class TimerHost {
 public:
  // Takes the lock (ServiceLockError when another process holds it), creates
  // ManageTimer, calls start() (restores the stored timers) and registers the
  // remote operations in `registry`. Call on the loop thread, before serving.
  // With a tracker, the runs the timers start are counted there until closed.
  static std::unique_ptr<TimerHost> start(std::shared_ptr<Services> services, RpcRegistry& registry,
                                          ServiceLockOptions lock_options = {},
                                          std::shared_ptr<RunTracker> tracker = nullptr);
  ~TimerHost();
  TimerHost(const TimerHost&) = delete;
  TimerHost& operator=(const TimerHost&) = delete;

  ManageTimer& service() { return *service_; }

 private:
  TimerHost() = default;
  std::shared_ptr<TimerServiceLock> lock_;
  std::unique_ptr<ManageTimer> service_;
};

}  // namespace vqflow
