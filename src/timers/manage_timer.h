#pragma once
#include <memory>
#include <vector>

#include "stores/database.h"
#include "timers/vq_timer.h"
#include "value/value.h"

namespace vqflow {

// Normalised timer settings of node `timer_app` in `controller_data` (a JSON
// object text, or an object): "type", "interval_type" ("" when missing),
// "time", "start_date" ("" when missing), "start_date_x" (null when missing),
// "end_date", "end_date_x", "jitter" (a whole number, 0 when missing).
// Throws JsonError/ValueError when the text is not a JSON object, has no entry
// for the node, the entry lacks "type" or "time", or "jitter" is not whole.
Value timer_settings(const Value& controller_data, const Value& timer_app);

// The timer service: keeps the `timer` table and the jobs of vq_timer in step.
// One object serves one call at a time (calls pass their input through the
// fields below); the host calls start() once, then the exposed_ operations.
// Errors of any step reach the caller unchanged.
class ManageTimer {
 public:
  ManageTimer(std::shared_ptr<Database> db, SchedulerSetup setup);

  // Creates and starts the scheduler, then registers a job for every stored
  // row, pausing those whose status reads "0". A row that cannot be restored
  // is logged at error level (with its timer_uuid and why) and skipped; the
  // rows after it are restored.
  void start();

  void load_config();  // config <- timer_settings(controller_data, timer_app); unchanged on failure
  // Registers, pauses, then inserts the row (status 0); ValueError naming the
  // setting (check_timer_kind) or the missing playbook id before anything is changed.
  void add_timer();
  void update_timer();  // changes the job in place (adds it when that fails), then the row

  void exposed_exec(const Value& uuid = nullptr, const Value& timer_app = nullptr,
                    const Value& w_timer_app = nullptr, const Value& controller_data = nullptr);
  void exposed_remove(const Value& timer_app = nullptr);
  void exposed_pause(const Value& uuid = nullptr);
  void exposed_resume(const Value& uuid = nullptr);
  void exposed_pause_all();
  void exposed_resume_all();
  std::vector<JobInfo> exposed_get_jobs();

  // Fields of the current call (null: absent).
  Value uuid;
  Value timer_app;
  Value w_timer_app;
  Value controller_data;
  Value config = Value::object();

 private:
  void register_job(bool as_update);
  void restore_row(const Row& row);

  std::shared_ptr<Database> db_;
  SchedulerSetup setup_;
};

// ValueError naming the setting and its allowed values unless `type` is date,
// interval or cron and, for an interval, `interval_type` is seconds, minutes,
// hours, days or weeks (the scheduler would otherwise register nothing).
void check_timer_kind(const Value& type, const Value& interval_type);

// A whole number from a stored or configured count ("10", 10, 10.0); ValueError
// naming `field` otherwise.
long long whole_number(const Value& value, const char* field);

}  // namespace vqflow
