#include "timers/timer_host.h"

#include <spdlog/spdlog.h>

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

std::unique_ptr<TimerHost> TimerHost::start(std::shared_ptr<Services> services,
                                            RpcRegistry& registry, ServiceLockOptions lock_options,
                                            std::shared_ptr<RunTracker> tracker) {
  std::unique_ptr<TimerHost> host(new TimerHost());
  lock_options.clock = services->clock;
  host->lock_ =
      TimerServiceLock::acquire(services->kv, services->executor, std::move(lock_options), [] {
        // Another process runs the timers now: firing here too would run them twice.
        if (vq_timer.scheduler) vq_timer.shutdown();
      });
  host->service_ = std::make_unique<ManageTimer>(services->db,
                                                 scheduler_setup_for(services, std::move(tracker)));
  host->service_->start();
  register_timer_methods(registry, *host->service_);
  return host;
}

TimerHost::~TimerHost() {
  try {
    if (vq_timer.scheduler) vq_timer.shutdown();
  } catch (const std::exception& e) {
    spdlog::error("timer service: shutting down: {}", e.what());
  }
  // The scheduler posts to the loop; it must not outlive it.
  vq_timer.scheduler.reset();
  lock_.reset();
}

}  // namespace vqflow
