#include "timers/vq_timer.h"

#include <fmt/format.h>

#include "base/errors.h"
#include "scheduler/cron_expression.h"

namespace vqflow {

std::mutex VqTimer::_instance_lock;
std::atomic<VqTimer*> VqTimer::_instance{nullptr};

VqTimer& vq_timer = VqTimer::instance();

namespace {

// The id a lookup uses: the text form, so that an absent id ("None") simply
// has no job.
std::string lookup_id(const Value& id) { return text_form(id); }

// The unit field that `t` names, tested by exact text in this order.
const char* interval_unit(const Value& t) {
  if (!t.is_string()) return nullptr;
  for (const char* unit : {"seconds", "minutes", "hours", "days", "weeks"}) {
    if (t.get_ref<const std::string&>() == unit) return unit;
  }
  return nullptr;
}

// Trigger fields of an interval job: the count under its unit, then the window.
Value interval_fields(const char* unit, const Value& interval, const Value& start_date,
                      const Value& end_date, const Value& jitter) {
  Value fields = Value::object();
  fields[unit] = interval;
  fields["start_date"] = start_date;
  fields["end_date"] = end_date;
  fields["jitter"] = jitter;
  return fields;
}

}  // namespace

std::string job_id_text(const Value& id) {
  if (id.is_string() && !id.get_ref<const std::string&>().empty()) return id.get<std::string>();
  if (id.is_number_integer()) return text_form(id);
  throw ValueError(
      fmt::format("timer: a job id must be a non-empty text, got {}", literal_form(id)));
}

VqTimer& VqTimer::instance() {
  VqTimer* existing = _instance.load(std::memory_order_acquire);
  if (existing != nullptr) return *existing;
  std::lock_guard lock(_instance_lock);
  existing = _instance.load(std::memory_order_relaxed);
  if (existing == nullptr) {
    // Lives as long as the process; never destroyed, so no static order issue.
    existing = new VqTimer();
    _instance.store(existing, std::memory_order_release);
  }
  return *existing;
}

GeventScheduler& VqTimer::need_scheduler() const {
  if (!scheduler) {
    throw Error("vq_timer: there is no scheduler: the timer service has not been started");
  }
  return *scheduler;
}

JobFunction VqTimer::job_function(std::string timer_id) const {
  return [run = run_playbook_, timer_id](const std::vector<Value>& args, JobDone done) {
    if (!run) throw Error("vq_timer: no run function was given to the scheduler");
    run(args.empty() ? Value(nullptr) : args.front(), timer_id, std::move(done));
  };
}

void VqTimer::create_scheduler(SchedulerSetup setup) {
  SchedulerOptions options;
  options.coalesce = false;
  options.max_instances = setup.max_instances;
  options.misfire_grace_time = setup.misfire_grace_time;
  options.zone = setup.zone;
  options.clock = std::move(setup.clock);
  options.jitter_seed = setup.jitter_seed;
  auto created = GeventScheduler::create(std::move(setup.executor), std::move(options));
  if (scheduler) scheduler->shutdown();
  scheduler = std::move(created);
  run_playbook_ = std::move(setup.run_playbook);
}

void VqTimer::start() { need_scheduler().start(); }
void VqTimer::shutdown() { need_scheduler().shutdown(); }
void VqTimer::pause(const Value& uuid) { need_scheduler().pause_job(lookup_id(uuid)); }
void VqTimer::resume(const Value& uuid) { need_scheduler().resume_job(lookup_id(uuid)); }
void VqTimer::pause_all() { need_scheduler().pause(); }
void VqTimer::resume_all() { need_scheduler().resume(); }

void VqTimer::remove_job(const Value& uuid) {
  auto& s = need_scheduler();
  try {
    s.remove_job(lookup_id(uuid));
  } catch (const JobLookupError&) {
    // Removing what is not there is fine.
  }
}

std::vector<JobInfo> VqTimer::get_jobs() { return need_scheduler().get_jobs(); }

void VqTimer::add_date(const Value& run_date, const Value& uuid, const Value& timer_uuid) {
  auto& s = need_scheduler();
  Value fields = Value::object();
  fields["run_date"] = run_date;
  const std::string id = job_id_text(timer_uuid);
  s.add_job(job_function(id), "date", fields, id, {uuid});
}

void VqTimer::update_date(const Value& uuid, const Value& run_date) {
  auto& s = need_scheduler();
  Value fields = Value::object();
  fields["run_date"] = run_date;
  s.reschedule_job(lookup_id(uuid), std::nullopt, "date", fields);
}

void VqTimer::add_interval(const Value& t, const Value& interval, const Value& uuid,
                           const Value& timer_uuid, const Value& start_date, const Value& end_date,
                           const Value& jitter) {
  auto& s = need_scheduler();
  const char* unit = interval_unit(t);
  if (unit == nullptr) return;
  const Value fields = interval_fields(unit, interval, start_date, end_date, jitter);
  const std::string id = job_id_text(timer_uuid);
  s.add_job(job_function(id), "interval", fields, id, {uuid});
}

void VqTimer::update_interval(const Value& uuid, const Value& t, const Value& interval,
                              const Value& start_date, const Value& end_date, const Value& jitter) {
  auto& s = need_scheduler();
  const char* unit = interval_unit(t);
  if (unit == nullptr) return;
  const Value fields = interval_fields(unit, interval, start_date, end_date, jitter);
  s.reschedule_job(lookup_id(uuid), std::nullopt, "interval", fields);
}

void VqTimer::add_cron(const Value& cron, const Value& uuid, const Value& timer_uuid,
                       const Value& start_date, const Value& end_date, const Value& jitter) {
  auto& s = need_scheduler();
  auto trigger = CronTrigger::from_crontab(cron, start_date, end_date, jitter, s.zone());
  const std::string id = job_id_text(timer_uuid);
  s.add_job(job_function(id), std::move(trigger), id, {uuid});
}

void VqTimer::update_cron(const Value& uuid, const Value& cron, const Value& start_date,
                          const Value& end_date, const Value& jitter) {
  auto& s = need_scheduler();
  if (!cron.is_string()) {
    throw ValueError(fmt::format("cron: expected a crontab text, got {}", literal_form(cron)));
  }
  auto values = CronExpression::split_fields(cron.get_ref<const std::string&>());
  if (values.size() != 5) {
    throw ValueError(fmt::format("Wrong number of fields; got {}, expected 5", values.size()));
  }
  Value fields = Value::object();
  for (int i = 0; i < 5; ++i) fields[CronExpression::k_field_names[i]] = values[i];
  fields["start_date"] = start_date;
  fields["end_date"] = end_date;
  fields["jitter"] = jitter;
  s.reschedule_job(lookup_id(uuid), std::nullopt, "cron", fields);
}

}  // namespace vqflow
