#pragma once
#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "scheduler/scheduler.h"
#include "value/value.h"

namespace vqflow {

// Starts a run of playbook `uuid` (a text, or null when the timer has none)
// for the fire of timer `timer_id` and calls `done` once that run is closed;
// set by the host, which calls auto_execute with the playbook id alone.
using RunPlaybook =
    std::function<void(const Value& uuid, const std::string& timer_id, JobDone done)>;

// What create_scheduler needs from the host.
struct SchedulerSetup {
  boost::asio::any_io_executor executor;  // the loop jobs run on; empty: no timer (tests)
  int max_instances = 3;                  // Config::max_instances
  RunPlaybook run_playbook;               // what every job calls
  // The scheduler's "now" and the dates of the timer rows (Services::clock).
  std::shared_ptr<const Clock> clock = real_clock();
  // Optional: tests pin the zone and the jitter.
  const date::time_zone* zone = nullptr;
  std::optional<std::uint64_t> jitter_seed;
  std::chrono::seconds misfire_grace_time{30};
};

// The process's one gateway to the scheduler: registers, changes, pauses,
// resumes, removes and lists timer jobs. Every job calls run_playbook with the
// playbook id. One instance per process (vq_timer); its operations may be
// called from any thread (the scheduler guards itself). Every operation but
// create_scheduler throws Error while there is no scheduler.
//
// Ids: in add_* `uuid` is the playbook id and `timer_uuid` the job id; in
// pause, resume, remove_job and update_* `uuid` is the job id. Absent
// arguments are null.
class VqTimer {
 public:
  static VqTimer& instance();
  VqTimer(const VqTimer&) = delete;
  VqTimer& operator=(const VqTimer&) = delete;

  // Replaces `scheduler` with a new one that is not running yet (the old one,
  // if any, is shut down). Jobs default to coalesce false and max_instances.
  void create_scheduler(SchedulerSetup setup);
  void start();
  void shutdown();
  void pause(const Value& uuid);   // JobLookupError when no job has the id
  void resume(const Value& uuid);  // JobLookupError when no job has the id
  void pause_all();
  void resume_all();
  // A missing job is not an error.
  void remove_job(const Value& uuid);
  std::vector<JobInfo> get_jobs();

  void add_date(const Value& run_date = nullptr, const Value& uuid = nullptr,
                const Value& timer_uuid = nullptr);
  void update_date(const Value& uuid, const Value& run_date = nullptr);
  // `t` selects the unit by exact text ("seconds", "minutes", "hours", "days",
  // "weeks"); any other `t` registers or changes nothing, silently.
  void add_interval(const Value& t, const Value& interval, const Value& uuid = nullptr,
                    const Value& timer_uuid = nullptr, const Value& start_date = nullptr,
                    const Value& end_date = nullptr, const Value& jitter = 0);
  void update_interval(const Value& uuid, const Value& t, const Value& interval,
                       const Value& start_date = nullptr, const Value& end_date = nullptr,
                       const Value& jitter = 0);
  // The crontab's start_date, end_date and jitter apply on both paths.
  void add_cron(const Value& cron, const Value& uuid = nullptr, const Value& timer_uuid = nullptr,
                const Value& start_date = nullptr, const Value& end_date = nullptr,
                const Value& jitter = 0);
  // ValueError "Wrong number of fields; got N, expected 5" before the job is touched.
  void update_cron(const Value& uuid, const Value& cron, const Value& start_date = nullptr,
                   const Value& end_date = nullptr, const Value& jitter = 0);

  // Empty until create_scheduler. Operations post to the scheduler's loop:
  // shut it down and reset it before that io_context is destroyed.
  std::shared_ptr<GeventScheduler> scheduler;

 private:
  VqTimer() = default;
  GeventScheduler& need_scheduler() const;
  JobFunction job_function(std::string timer_id) const;

  static std::mutex _instance_lock;
  static std::atomic<VqTimer*> _instance;

  RunPlaybook run_playbook_;
};

// The instance, created when the module loads.
extern VqTimer& vq_timer;

// The text a job id is made of; ValueError when `id` is null or empty.
std::string job_id_text(const Value& id);

}  // namespace vqflow
