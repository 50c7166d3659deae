#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "scheduler/scheduler_time.h"

namespace vqflow {

// One fire time of a crontab text as people read it.
struct FireTime {
  TimePoint at;
  std::string local;    // "YYYY-MM-DD HH:MM:SS" in the zone asked for
  std::string weekday;  // "Mon" .. "Sun"
};

// The next `count` fire times of a five-field crontab text at or after
// `from`, as the timer service computes them in `zone`; fewer when the text
// fires no more. Throws ValueError for a text that is no crontab, naming the
// field, and when it never fires at all.
std::vector<FireTime> next_fire_times(std::string_view crontab, TimePoint from,
                                      const date::time_zone* zone, int count);

}  // namespace vqflow
