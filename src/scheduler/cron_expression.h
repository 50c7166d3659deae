#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scheduler/scheduler_time.h"

namespace vqflow {

// A five-field crontab expression: minute, hour, day (of month), month,
// day_of_week. Each field is a comma list of `*`, `N`, `N-M`, with an optional
// `/step` (`N/step` runs from N to the field's end); months take jan..dec and
// weekdays sun..sat (any case); 0 and 7 are both Sunday. When both day fields
// are restricted (neither begins with `*`) a day matches if either matches;
// otherwise both must.
//
// Daylight-saving changes, for a wall time in `zone`:
//   - jobs whose hour field begins with `*` follow real time: a wall time the
//     clocks skip does not fire, a repeated one fires in both passes;
//   - every other job fires once per matching wall time: a skipped one fires
//     when the clocks jump, a repeated one only in its first pass.
// So a daily job never loses a day and never runs twice in one.
// Immutable; safe to share between threads.
class CronExpression {
 public:
  static constexpr std::array<const char*, 5> k_field_names = {"minute", "hour", "day", "month",
                                                               "day_of_week"};

  // Fields given one by one, in the order above. Throws ValueError naming the
  // field ("hour \"24\": 24 is out of range 0-23"), also when the day and month
  // fields can never meet ("day \"31\": no selected month has day 31").
  static CronExpression parse(const std::array<std::string, 5>& fields);

  // A crontab text, split at runs of white space. Throws ValueError
  // "Wrong number of fields; got N, expected 5" for another count of fields.
  static CronExpression from_crontab(std::string_view text);

  // The text split at runs of white space (leading and trailing ignored).
  static std::vector<std::string> split_fields(std::string_view text);

  // The first fire instant at or after `t` (rounded up to a whole minute);
  // absent when none falls within the next sixty years.
  std::optional<TimePoint> next_at_or_after(TimePoint t, const date::time_zone* zone) const;

  const std::array<std::string, 5>& fields() const { return fields_; }
  // "minute='*/5', hour='*', day='*', month='*', day_of_week='*'"
  std::string describe() const;

 private:
  CronExpression() = default;

  bool day_matches(date::sys_days day) const;
  // The first matching wall minute at or after `from`; absent past the search horizon.
  std::optional<date::local_time<std::chrono::minutes>> next_match(
      date::local_time<std::chrono::minutes> from,
      date::local_time<std::chrono::minutes> limit) const;

  std::array<std::string, 5> fields_;
  std::uint64_t minutes_ = 0;   // bit n: minute n
  std::uint32_t hours_ = 0;     // bit n: hour n
  std::uint32_t days_ = 0;      // bit n: day n (1..31)
  std::uint32_t months_ = 0;    // bit n: month n (1..12)
  std::uint32_t weekdays_ = 0;  // bit n: weekday n (0 Sunday .. 6)
  bool day_restricted_ = false;
  bool weekday_restricted_ = false;
  bool follows_real_time_ = false;  // hour field begins with `*`
};

}  // namespace vqflow
