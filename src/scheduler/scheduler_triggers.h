#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "scheduler/cron_expression.h"
#include "scheduler/scheduler_time.h"
#include "value/value.h"

namespace vqflow {

// When a job fires. Immutable once built; safe to share between threads.
//
// Bounds and texts: `start_date`/`end_date` are date-time texts (see
// parse_date_time); null or a blank text means unbounded. `jitter` is a whole
// number of seconds >= 0: each fire is delayed by a random 0..jitter seconds,
// so a jittered fire is never early and never before `start_date`.
class Trigger {
 public:
  virtual ~Trigger() = default;
  // The first fire time strictly after `previous` (when given) and not before
  // `earliest`; absent when the trigger has no more fire times. A date
  // trigger ignores `earliest`: its one fire time is due even when past (the
  // scheduler then decides whether it is too late).
  virtual std::optional<TimePoint> next_fire_time(std::optional<TimePoint> previous,
                                                  TimePoint earliest) const = 0;
  virtual int jitter() const { return 0; }
  // Readable form for job listings: "date[2024-05-01 10:00:00]",
  // "interval[0:10:00]", "cron[minute='*/5', ...]".
  virtual std::string describe() const = 0;
};

// What building a trigger needs besides its fields.
struct TriggerContext {
  const date::time_zone* zone = nullptr;  // null: local_time_zone()
  TimePoint now{};  // interval triggers without start_date begin at now + interval
};

// Fires once, at `run_date`.
class DateTrigger : public Trigger {
 public:
  explicit DateTrigger(TimePoint run_date, const date::time_zone* zone)
      : run_date_(run_date), zone_(zone) {}
  std::optional<TimePoint> next_fire_time(std::optional<TimePoint> previous,
                                          TimePoint earliest) const override;
  std::string describe() const override;
  TimePoint run_date() const { return run_date_; }

 private:
  TimePoint run_date_;
  const date::time_zone* zone_;
};

// Fires every `interval` (elapsed time, so daylight-saving changes neither
// stretch nor shrink it) from `start_date` on, up to `end_date`.
class IntervalTrigger : public Trigger {
 public:
  IntervalTrigger(std::chrono::seconds interval, TimePoint start_date,
                  std::optional<TimePoint> end_date, int jitter, const date::time_zone* zone);
  std::optional<TimePoint> next_fire_time(std::optional<TimePoint> previous,
                                          TimePoint earliest) const override;
  int jitter() const override { return jitter_; }
  std::string describe() const override;
  std::chrono::seconds interval() const { return interval_; }
  TimePoint start_date() const { return start_date_; }

 private:
  std::chrono::seconds interval_;
  TimePoint start_date_;
  std::optional<TimePoint> end_date_;
  int jitter_;
  const date::time_zone* zone_;
};

// Fires at the wall times of a crontab expression in one time zone, within
// `start_date` and `end_date`.
class CronTrigger : public Trigger {
 public:
  CronTrigger(CronExpression expression, std::optional<TimePoint> start_date,
              std::optional<TimePoint> end_date, int jitter, const date::time_zone* zone);

  // A trigger from a five-field crontab text (minute hour day month
  // day_of_week), with the same bounds and jitter as the trigger fields.
  // Throws ValueError: "Wrong number of fields; got N, expected 5", a message
  // naming a field that is out of range, or a bad bound.
  static std::shared_ptr<CronTrigger> from_crontab(const Value& expr,
                                                   const Value& start_date = nullptr,
                                                   const Value& end_date = nullptr,
                                                   const Value& jitter = 0,
                                                   const date::time_zone* zone = nullptr);

  std::optional<TimePoint> next_fire_time(std::optional<TimePoint> previous,
                                          TimePoint earliest) const override;
  int jitter() const override { return jitter_; }
  std::string describe() const override;
  const CronExpression& expression() const { return expression_; }

 private:
  CronExpression expression_;
  std::optional<TimePoint> start_date_;
  std::optional<TimePoint> end_date_;
  int jitter_;
  const date::time_zone* zone_;
};

// A trigger of kind "date", "interval" or "cron" from its fields by name (a
// JSON object; null members count as absent):
//   date:     run_date (required)
//   interval: exactly one of weeks, days, hours, minutes, seconds (a whole
//             number >= 1); start_date, end_date, jitter
//   cron:     minute, hour, day, month, day_of_week (each "*" when absent);
//             start_date, end_date, jitter
// Throws ValueError for an unknown kind or field, or a value that does not fit.
std::shared_ptr<const Trigger> make_trigger(std::string_view kind, const Value& fields,
                                            const TriggerContext& context);

// Helpers shared with the timer settings: a bound (null or blank: none), a
// jitter (null: 0; a whole number >= 0).
std::optional<TimePoint> parse_bound(const Value& value, const date::time_zone* zone,
                                     std::string_view field);
int parse_jitter(const Value& value);

}  // namespace vqflow
