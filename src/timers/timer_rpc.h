#pragma once
#include <vector>

#include "rpc/rpc_registry.h"
#include "scheduler/scheduler.h"
#include "timers/manage_timer.h"

namespace vqflow {

// One job as the remote caller sees it: {"id", "uuid" (the playbook id),
// "trigger" (readable text), "next_run_time" ("YYYY-MM-DD HH:MM:SS" in `zone`,
// null while paused or when it will not fire again), "paused" (this job was
// paused on its own)}.
Value job_to_value(const JobInfo& job, const date::time_zone* zone);
Value jobs_to_value(const std::vector<JobInfo>& jobs, const date::time_zone* zone);

// Adds the remote timer operations of `service` (which must outlive the
// registry): exec {uuid, timer_app, w_timer_app, controller_data}, remove
// {timer_app}, pause {uuid}, resume {uuid}, pause_all, resume_all, get_jobs.
// Params go by name; missing ones are absent, unknown ones are refused
// (-32602). Results: null, or the job list for get_jobs.
void register_timer_methods(RpcRegistry& registry, ManageTimer& service);

}  // namespace vqflow
