#include "timers/timer_rpc.h"

#include <fmt/format.h>

#include <algorithm>
#include <initializer_list>
#include <string>

#include "rpc/json_rpc.h"

namespace vqflow {

namespace {

// The params a method takes, checked by name: a misspelt name would otherwise
// silently count as absent (and, for exec, remove a timer).
void check_params(const Value& params, std::initializer_list<const char*> names) {
  for (const auto& [key, value] : params.items()) {
    bool known = std::any_of(names.begin(), names.end(), [&](const char* n) { return key == n; });
    if (!known) {
      std::string expected;
      for (const char* n : names) expected += (expected.empty() ? "" : ", ") + std::string(n);
      throw RpcError(k_rpc_invalid_params,
                     fmt::format("invalid params: unknown parameter \"{}\" (expected: {})", key,
                                 expected.empty() ? "none" : expected));
    }
  }
}

Value param(const Value& params, const char* name) {
  auto it = params.find(name);
  return it == params.end() ? Value(nullptr) : *it;
}

const date::time_zone* scheduler_zone() {
  return vq_timer.scheduler ? vq_timer.scheduler->zone() : local_time_zone();
}

}  // namespace

Value job_to_value(const JobInfo& job, const date::time_zone* zone) {
  Value out = Value::object();
  out["id"] = job.id;
  out["uuid"] = job.args.empty() ? Value(nullptr) : job.args.front();
  out["trigger"] = job.trigger;
  out["next_run_time"] =
      job.next_run_time ? Value(format_local_time(*job.next_run_time, zone)) : Value(nullptr);
  return out;
}

Value jobs_to_value(const std::vector<JobInfo>& jobs, const date::time_zone* zone) {
  Value out = Value::array();
  for (const auto& job : jobs) out.push_back(job_to_value(job, zone));
  return out;
}

void register_timer_methods(RpcRegistry& registry, ManageTimer& service) {
  ManageTimer* s = &service;
  registry.add("exec", [s](const Value& params) {
    check_params(params, {"uuid", "timer_app", "w_timer_app", "controller_data"});
    s->exposed_exec(param(params, "uuid"), param(params, "timer_app"), param(params, "w_timer_app"),
                    param(params, "controller_data"));
    return Value(nullptr);
  });
  registry.add("remove", [s](const Value& params) {
    check_params(params, {"timer_app"});
    s->exposed_remove(param(params, "timer_app"));
    return Value(nullptr);
  });
  registry.add("pause", [s](const Value& params) {
    check_params(params, {"uuid"});
    s->exposed_pause(param(params, "uuid"));
    return Value(nullptr);
  });
  registry.add("resume", [s](const Value& params) {
    check_params(params, {"uuid"});
    s->exposed_resume(param(params, "uuid"));
    return Value(nullptr);
  });
  registry.add("pause_all", [s](const Value& params) {
    check_params(params, {});
    s->exposed_pause_all();
    return Value(nullptr);
  });
  registry.add("resume_all", [s](const Value& params) {
    check_params(params, {});
    s->exposed_resume_all();
    return Value(nullptr);
  });
  registry.add("get_jobs", [s](const Value& params) {
    check_params(params, {});
    return jobs_to_value(s->exposed_get_jobs(), scheduler_zone());
  });
}

}  // namespace vqflow
