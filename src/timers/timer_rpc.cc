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
  for (const auto& item : params.items()) {
    const std::string& key = item.key();
    bool known = std::any_of(names.begin(), names.end(), [&](const char* n) { return key == n; });
    if (!known) {
      std::string expected;
      for (const char* n : names) {
        if (!expected.empty()) expected += ", ";
        expected += n;
      }
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
  out["paused"] = job.paused;
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
  // The operations on one timer: one named param, a null answer.
  struct OneTimer {
    const char* method;
    const char* param_name;
    void (ManageTimer::*call)(const Value&);
  };
  for (const OneTimer& op : {OneTimer{"remove", "timer_app", &ManageTimer::exposed_remove},
                             OneTimer{"pause", "uuid", &ManageTimer::exposed_pause},
                             OneTimer{"resume", "uuid", &ManageTimer::exposed_resume}}) {
    registry.add(op.method, [s, op](const Value& params) {
      check_params(params, {op.param_name});
      (s->*op.call)(param(params, op.param_name));
      return Value(nullptr);
    });
  }
  // The operations on every timer: no params, a null answer.
  struct AllTimers {
    const char* method;
    void (ManageTimer::*call)();
  };
  for (const AllTimers& op : {AllTimers{"pause_all", &ManageTimer::exposed_pause_all},
                              AllTimers{"resume_all", &ManageTimer::exposed_resume_all}}) {
    registry.add(op.method, [s, op](const Value& params) {
      check_params(params, {});
      (s->*op.call)();
      return Value(nullptr);
    });
  }
  registry.add("get_jobs", [s](const Value& params) {
    check_params(params, {});
    return jobs_to_value(s->exposed_get_jobs(), scheduler_zone());
  });
}

}  // namespace vqflow
