#include "scheduler/scheduler.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>

namespace vqflow {

namespace {

using std::chrono::microseconds;

// The timer never sleeps longer than this, so that a wall clock that was set
// back or forward is noticed within a minute.
constexpr std::chrono::seconds k_max_sleep{60};
// Fire times one wake-up may work through for a single job (coalesce false).
constexpr int k_max_catch_up = 10'000;

}  // namespace

std::shared_ptr<GeventScheduler> GeventScheduler::create(boost::asio::any_io_executor executor,
                                                         SchedulerOptions options) {
  if (options.max_instances < 1) {
    throw ValueError(
        fmt::format("scheduler: max_instances must be at least 1, got {}", options.max_instances));
  }
  if (options.misfire_grace_time.count() < 0) {
    throw ValueError("scheduler: misfire_grace_time must not be negative");
  }
  return std::shared_ptr<GeventScheduler>(
      new GeventScheduler(std::move(executor), std::move(options)));
}

GeventScheduler::GeventScheduler(boost::asio::any_io_executor executor, SchedulerOptions options)
    : executor_(std::move(executor)),
      options_(std::move(options)),
      zone_(options_.zone != nullptr ? options_.zone : local_time_zone()),
      clock_(options_.clock ? options_.clock : real_clock()),
      random_(options_.jitter_seed ? *options_.jitter_seed : std::random_device{}()) {}

GeventScheduler::~GeventScheduler() = default;

TimePoint GeventScheduler::now() const { return now_of(*clock_); }

void GeventScheduler::start() {
  std::lock_guard lock(mutex_);
  if (running_) throw Error("scheduler: already running");
  running_ = true;
  wake_locked(std::nullopt);
}

void GeventScheduler::set_state(bool GeventScheduler::*flag, bool value) {
  std::lock_guard lock(mutex_);
  this->*flag = value;
  wake_locked(std::nullopt);
}

void GeventScheduler::shutdown() { set_state(&GeventScheduler::running_, false); }

bool GeventScheduler::running() const {
  std::lock_guard lock(mutex_);
  return running_;
}

void GeventScheduler::pause() { set_state(&GeventScheduler::paused_, true); }

void GeventScheduler::resume() { set_state(&GeventScheduler::paused_, false); }

bool GeventScheduler::paused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

GeventScheduler::Job& GeventScheduler::find_locked(const std::string& id) {
  auto it = jobs_.find(id);
  if (it == jobs_.end()) throw JobLookupError(fmt::format("scheduler: no job with id \"{}\"", id));
  return it->second;
}

void GeventScheduler::schedule_locked(Job& job, std::optional<TimePoint> previous,
                                      TimePoint earliest) {
  job.scheduled = job.trigger->next_fire_time(previous, earliest);
  job.run_at.reset();
  if (!job.scheduled) return;
  TimePoint run_at = *job.scheduled;
  if (int jitter = job.trigger->jitter(); jitter > 0) {
    std::uniform_int_distribution<long long> spread(0, jitter * 1'000'000LL);
    run_at += microseconds{spread(random_)};
  }
  job.run_at = run_at;
}

void GeventScheduler::unqueue_locked(Job& job) {
  if (job.run_at) queue_.erase({*job.run_at, job.id});
}

void GeventScheduler::enqueue_locked(const Job& job) {
  if (!job.run_at) return;
  queue_.emplace(*job.run_at, job.id);
  wake_locked(job.run_at);
}

void GeventScheduler::add_job(JobFunction func, std::shared_ptr<const Trigger> trigger,
                              const std::string& id, std::vector<Value> args) {
  if (id.empty()) throw ValueError("scheduler: a job id must not be empty");
  if (!func || !trigger)
    throw ValueError(fmt::format("scheduler: job \"{}\" needs a function and a trigger", id));
  std::lock_guard lock(mutex_);
  if (jobs_.count(id) != 0) {
    throw ConflictingIdError(fmt::format("scheduler: job id \"{}\" is already taken", id));
  }
  Job job;
  job.id = id;
  job.serial = next_serial_++;
  job.func = std::move(func);
  job.args = std::move(args);
  job.trigger = std::move(trigger);
  schedule_locked(job, std::nullopt, now());
  enqueue_locked(jobs_.emplace(id, std::move(job)).first->second);
}

void GeventScheduler::add_job(JobFunction func, std::string_view trigger_kind,
                              const Value& trigger_fields, const std::string& id,
                              std::vector<Value> args) {
  auto trigger = make_trigger(trigger_kind, trigger_fields, TriggerContext{zone_, now()});
  add_job(std::move(func), std::move(trigger), id, std::move(args));
}

void GeventScheduler::reschedule_job(const std::string& id,
                                     const std::optional<std::string>& jobstore,
                                     std::string_view trigger_kind, const Value& trigger_fields) {
  if (jobstore && *jobstore != "default") {
    throw ValueError(
        fmt::format("scheduler: no job store \"{}\" (there is only \"default\")", *jobstore));
  }
  {
    std::lock_guard lock(mutex_);
    find_locked(id);
  }
  reschedule_job(id, make_trigger(trigger_kind, trigger_fields, TriggerContext{zone_, now()}));
}

void GeventScheduler::reschedule_job(const std::string& id,
                                     std::shared_ptr<const Trigger> trigger) {
  if (!trigger) throw ValueError(fmt::format("scheduler: job \"{}\" needs a trigger", id));
  std::lock_guard lock(mutex_);
  Job& job = find_locked(id);
  unqueue_locked(job);
  job.trigger = std::move(trigger);
  job.last_scheduled.reset();
  job.scheduled.reset();
  job.run_at.reset();
  if (job.paused) return;
  schedule_locked(job, std::nullopt, now());
  enqueue_locked(job);
}

void GeventScheduler::pause_job(const std::string& id) {
  std::lock_guard lock(mutex_);
  Job& job = find_locked(id);
  unqueue_locked(job);
  job.paused = true;
  job.scheduled.reset();
  job.run_at.reset();
}

void GeventScheduler::resume_job(const std::string& id) {
  std::lock_guard lock(mutex_);
  Job& job = find_locked(id);
  if (!job.paused) return;
  job.paused = false;
  // `last_scheduled` keeps a date job that already ran from running again.
  schedule_locked(job, job.last_scheduled, now());
  enqueue_locked(job);
}

void GeventScheduler::remove_job(const std::string& id) {
  std::lock_guard lock(mutex_);
  Job& job = find_locked(id);
  unqueue_locked(job);
  jobs_.erase(id);
}

bool GeventScheduler::has_job(const std::string& id) const {
  std::lock_guard lock(mutex_);
  return jobs_.count(id) != 0;
}

JobInfo GeventScheduler::info_locked(const Job& job) const {
  JobInfo info;
  info.id = job.id;
  info.args = job.args;
  info.trigger = job.trigger->describe();
  info.paused = job.paused;
  if (!paused_) info.next_run_time = job.run_at;
  return info;
}

std::optional<JobInfo> GeventScheduler::get_job(const std::string& id) const {
  std::lock_guard lock(mutex_);
  auto it = jobs_.find(id);
  if (it == jobs_.end()) return std::nullopt;
  return info_locked(it->second);
}

std::vector<JobInfo> GeventScheduler::get_jobs() const {
  std::vector<JobInfo> out;
  {
    std::lock_guard lock(mutex_);
    out.reserve(jobs_.size());
    for (const auto& [id, job] : jobs_) out.push_back(info_locked(job));
  }
  std::stable_sort(out.begin(), out.end(), [](const JobInfo& a, const JobInfo& b) {
    if (a.next_run_time.has_value() != b.next_run_time.has_value())
      return a.next_run_time.has_value();
    if (a.next_run_time && *a.next_run_time != *b.next_run_time)
      return *a.next_run_time < *b.next_run_time;
    return false;  // jobs_ is ordered by id already
  });
  return out;
}

std::optional<TimePoint> GeventScheduler::next_wakeup() const {
  std::lock_guard lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  return queue_.begin()->first;
}

void GeventScheduler::run_due_jobs() {
  std::vector<Call> calls;
  std::vector<std::string> warnings;
  {
    std::lock_guard lock(mutex_);
    if (!running_ || paused_) return;
    const TimePoint t = now();
    const auto grace = std::chrono::duration_cast<microseconds>(options_.misfire_grace_time);
    while (!queue_.empty() && queue_.begin()->first <= t) {
      std::string id = queue_.begin()->second;
      queue_.erase(queue_.begin());
      Job& job = jobs_.at(id);
      int due = 0;
      int missed = 0;
      std::optional<TimePoint> first_missed;
      for (int i = 0; i < k_max_catch_up && job.run_at && *job.run_at <= t; ++i) {
        if (t - *job.run_at > grace) {
          if (!first_missed) first_missed = job.run_at;
          ++missed;
        } else {
          ++due;
        }
        job.last_scheduled = job.scheduled;
        // Fire times older than the grace time are passed over in one step.
        schedule_locked(job, job.scheduled, t - grace);
      }
      if (first_missed) {
        warnings.push_back(fmt::format(
            "scheduler: job \"{}\": run due at {} missed by {} s", id,
            format_local_time(*first_missed, zone_),
            std::chrono::duration_cast<std::chrono::seconds>(t - *first_missed).count()));
      }
      if (options_.coalesce && due > 1) due = 1;
      int skipped = 0;
      for (int i = 0; i < due; ++i) {
        if (job.instances >= options_.max_instances) {
          ++skipped;
          continue;
        }
        ++job.instances;
        calls.push_back(Call{id, job.serial, job.func, job.args});
      }
      if (skipped > 0) {
        warnings.push_back(fmt::format(
            "scheduler: job \"{}\": {} run(s) skipped: {} already under way (max_instances {})", id,
            skipped, job.instances, options_.max_instances));
      }
      if (job.run_at) queue_.emplace(*job.run_at, id);
    }
  }
  for (const auto& warning : warnings) spdlog::warn("{}", warning);

  for (auto& call : calls) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    JobDone done = [weak = weak_from_this(), id = call.id, serial = call.serial, finished] {
      if (finished->exchange(true)) return;
      if (auto self = weak.lock()) self->finish_call(id, serial);
    };
    try {
      call.func(call.args, done);
    } catch (const std::exception& e) {
      spdlog::error("scheduler: job \"{}\" failed: {}", call.id, e.what());
      done();
    } catch (...) {
      spdlog::error("scheduler: job \"{}\" failed: unknown error", call.id);
      done();
    }
  }
}

void GeventScheduler::finish_call(const std::string& id, std::uint64_t serial) {
  std::lock_guard lock(mutex_);
  auto it = jobs_.find(id);
  if (it == jobs_.end() || it->second.serial != serial) return;  // removed or replaced meanwhile
  if (it->second.instances > 0) --it->second.instances;
}

// --- the loop's timer ---

void GeventScheduler::wake_locked(std::optional<TimePoint> due) {
  if (!executor_) return;
  if (due && (!running_ || paused_)) return;
  if (due && armed_for_ && *due >= *armed_for_) return;  // the timer goes off early enough
  if (rearm_posted_) return;
  rearm_posted_ = true;
  boost::asio::post(executor_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->rearm();
  });
}

void GeventScheduler::rearm() {
  std::lock_guard lock(mutex_);
  rearm_posted_ = false;
  auto timer = timer_.lock();
  ++generation_;
  if (!running_ || paused_ || queue_.empty()) {
    armed_for_.reset();
    if (timer) timer->cancel();
    return;
  }
  const TimePoint t = now();
  auto wait = std::clamp<microseconds>(queue_.begin()->first - t, microseconds{0}, k_max_sleep);
  armed_for_ = t + wait;
  if (!timer) {
    timer = std::make_shared<Timer>(executor_);
    timer_ = timer;
  }
  timer->expires_after(wait);
  timer->async_wait([weak = weak_from_this(), timer,
                     generation = generation_](const boost::system::error_code& error) {
    if (error) return;  // cancelled: a newer wait took over
    if (auto self = weak.lock()) self->on_timer(generation);
  });
}

void GeventScheduler::on_timer(std::uint64_t generation) {
  {
    std::lock_guard lock(mutex_);
    // An expired wait cannot be recalled by cancel(): only the latest counts.
    if (generation != generation_) return;
    armed_for_.reset();
  }
  run_due_jobs();
  rearm();
}

}  // namespace vqflow
