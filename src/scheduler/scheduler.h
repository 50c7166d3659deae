#pragma once
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/errors.h"
#include "scheduler/scheduler_time.h"
#include "scheduler/scheduler_triggers.h"
#include "value/value.h"

namespace vqflow {

// A job id that is already taken (the scheduler never replaces a job silently).
class ConflictingIdError : public Error {
 public:
  using Error::Error;
};

// Tells the scheduler that one call of a job is over. Callable once, from any thread.
using JobDone = std::function<void()>;
// What a job runs, on the scheduler's loop. It must call `done` exactly once,
// at once or later (a timer job calls it when the run it started is closed);
// until then the call counts against max_instances. An exception counts as done.
using JobFunction = std::function<void(const std::vector<Value>& args, JobDone done)>;

struct SchedulerOptions {
  // Job defaults. coalesce false: fire times that fell due while the loop was
  // held up each get their call; true: they collapse into one.
  bool coalesce = false;
  int max_instances = 1;  // calls of one job under way at once; a fire beyond it is skipped
  // A fire that comes due later than this after its time is skipped (logged),
  // e.g. after the loop was blocked or the whole scheduler was paused.
  std::chrono::seconds misfire_grace_time{30};
  const date::time_zone* zone = nullptr;     // wall times of dates and cron fields; null: local
  std::optional<std::uint64_t> jitter_seed;  // fixed seed for tests
  // What "now" is (null: the system's clock). The loop's timer still sleeps in
  // real time, for as long as this clock says is left.
  std::shared_ptr<const Clock> clock = real_clock();
};

// One job as get_jobs lists it.
struct JobInfo {
  std::string id;
  std::vector<Value> args;
  std::string trigger;                     // Trigger::describe()
  std::optional<TimePoint> next_run_time;  // absent while paused (job or scheduler) or finished
  bool paused = false;                     // this job (not the whole scheduler)
};

// The job scheduler, on an Asio event loop. Jobs are kept under string ids;
// their next fire times sit in an ordered queue and one timer sleeps until the
// earliest (at most a minute, so that a changed wall clock is noticed), so the
// cost does not grow with the number of idle jobs. A job whose trigger has no
// more fire times (a date job after its run) stays listed, without a next run
// time, until removed.
//
// Threads: every operation may be called from any thread (a mutex guards the
// state); jobs run on the loop of `executor`. With an empty executor there is
// no timer at all and the owner calls run_due_jobs() (tests drive a manual
// clock this way). The scheduler holds no I/O object, so it may outlive its
// io_context.
class GeventScheduler : public std::enable_shared_from_this<GeventScheduler> {
 public:
  static std::shared_ptr<GeventScheduler> create(boost::asio::any_io_executor executor,
                                                 SchedulerOptions options = {});
  ~GeventScheduler();

  // Jobs fire from now on. Throws Error when already running.
  void start();
  // Stops firing; jobs stay registered. start() may follow.
  void shutdown();
  bool running() const;
  // The whole scheduler stops/resumes processing jobs; jobs keep their own state.
  void pause();
  void resume();
  bool paused() const;

  // Registers a job. Throws ConflictingIdError when `id` is taken, ValueError
  // for an empty id or a trigger that cannot be built.
  void add_job(JobFunction func, std::shared_ptr<const Trigger> trigger, const std::string& id,
               std::vector<Value> args);
  void add_job(JobFunction func, std::string_view trigger_kind, const Value& trigger_fields,
               const std::string& id, std::vector<Value> args);

  // Replaces the trigger of job `id`; its next fire time follows the new
  // trigger from now on. A paused job stays paused. `jobstore` must be absent
  // or "default". Throws JobLookupError (naming the id) when there is no such
  // job, ValueError for a trigger that cannot be built (the job is unchanged).
  void reschedule_job(const std::string& id, const std::optional<std::string>& jobstore,
                      std::string_view trigger_kind, const Value& trigger_fields);
  void reschedule_job(const std::string& id, std::shared_ptr<const Trigger> trigger);

  // Throw JobLookupError when there is no job `id`. Resuming computes the
  // next fire time from now; fire times missed while paused are not made up.
  void pause_job(const std::string& id);
  void resume_job(const std::string& id);
  void remove_job(const std::string& id);

  bool has_job(const std::string& id) const;
  std::optional<JobInfo> get_job(const std::string& id) const;
  // Every job, by next run time (paused and finished ones last, by id).
  std::vector<JobInfo> get_jobs() const;

  // Runs the jobs that are due now (on the calling thread); the timer calls
  // this on the loop. Does nothing unless running and not paused.
  void run_due_jobs();
  // The earliest time a job is due, absent when none is.
  std::optional<TimePoint> next_wakeup() const;

  TimePoint now() const;
  const date::time_zone* zone() const { return zone_; }
  const SchedulerOptions& options() const { return options_; }

 private:
  struct Job {
    std::string id;
    std::uint64_t serial = 0;  // tells a re-added job from the one it replaced
    JobFunction func;
    std::vector<Value> args;
    std::shared_ptr<const Trigger> trigger;
    bool paused = false;
    std::optional<TimePoint> scheduled;       // next fire time by the trigger
    std::optional<TimePoint> run_at;          // scheduled + jitter: when it runs; in queue_ iff set
    std::optional<TimePoint> last_scheduled;  // the last fire time that came due
    int instances = 0;
  };
  struct Call {
    std::string id;
    std::uint64_t serial;
    JobFunction func;
    std::vector<Value> args;
  };
  using Timer = boost::asio::steady_timer;

  GeventScheduler(boost::asio::any_io_executor executor, SchedulerOptions options);

  // Sets running_ or paused_ and lets the timer follow.
  void set_state(bool GeventScheduler::*flag, bool value);
  Job& find_locked(const std::string& id);
  void schedule_locked(Job& job, std::optional<TimePoint> previous, TimePoint earliest);
  void unqueue_locked(Job& job);
  // Queues the job at its run time, if it has one, and lets the timer follow.
  void enqueue_locked(const Job& job);
  void wake_locked(std::optional<TimePoint> due);
  void rearm();
  void on_timer(std::uint64_t generation);
  void finish_call(const std::string& id, std::uint64_t serial);
  JobInfo info_locked(const Job& job) const;

  boost::asio::any_io_executor executor_;
  SchedulerOptions options_;
  const date::time_zone* zone_;
  std::shared_ptr<const Clock> clock_;

  mutable std::mutex mutex_;
  std::map<std::string, Job> jobs_;
  std::set<std::pair<TimePoint, std::string>> queue_;
  bool running_ = false;
  bool paused_ = false;
  std::uint64_t next_serial_ = 1;
  std::mt19937_64 random_;
  // The loop's timer: lives in its own pending wait, so that the scheduler
  // never owns an I/O object.
  std::weak_ptr<Timer> timer_;
  std::optional<TimePoint> armed_for_;
  std::uint64_t generation_ = 0;
  bool rearm_posted_ = false;
};

}  // namespace vqflow
