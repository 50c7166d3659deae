#include "timers/timer_host.h"

#include <spdlog/spdlog.h>

#include "run/auto_execute.h"
#include "timers/timer_rpc.h"

namespace vqflow {

SchedulerSetup scheduler_setup_for(std::shared_ptr<Services> services) {
  SchedulerSetup setup;
  setup.executor = services->executor;
  setup.max_instances = services->config.max_instances;
  setup.run_playbook = [services](const Value& uuid, JobDone done) {
    std::string playbook = uuid.is_string() ? uuid.get<std::string>() : text_form(uuid);
    try {
      auto_execute(services, playbook, nullptr, RunRequest{},
                   [done](std::exception_ptr) { done(); });
    } catch (...) {
      done();
      throw;
    }
  };
  return setup;
}

std::unique_ptr<TimerHost> TimerHost::start(std::shared_ptr<Services> services,
                                            RpcRegistry& registry,
                                            ServiceLockOptions lock_options) {
  std::unique_ptr<TimerHost> host(new TimerHost());
  host->lock_ =
      TimerServiceLock::acquire(services->kv, services->executor, std::move(lock_options), [] {
        // Another process runs the timers now: firing here too would run them twice.
        if (vq_timer.scheduler) vq_timer.shutdown();
      });
  host->service_ = std::make_unique<ManageTimer>(services->db, scheduler_setup_for(services));
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
