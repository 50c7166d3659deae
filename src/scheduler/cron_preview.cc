#include "scheduler/cron_preview.h"

#include "base/errors.h"
#include "scheduler/cron_expression.h"

namespace vqflow {

std::vector<FireTime> next_fire_times(std::string_view crontab, TimePoint from,
                                      const date::time_zone* zone, int count) {
  const CronExpression expression = CronExpression::from_crontab(crontab);
  std::vector<FireTime> out;
  TimePoint at = from;
  for (int i = 0; i < count; ++i) {
    std::optional<TimePoint> next = expression.next_at_or_after(at, zone);
    if (!next) break;
    const auto local = zone->to_local(date::floor<std::chrono::seconds>(*next));
    out.push_back(FireTime{*next, format_local_time(*next, zone),
                           date::format("%a", date::floor<date::days>(local))});
    at = *next + std::chrono::microseconds{1};
  }
  if (out.empty() && count > 0) throw ValueError("cron: no fire time within the next 400 years");
  return out;
}

}  // namespace vqflow
