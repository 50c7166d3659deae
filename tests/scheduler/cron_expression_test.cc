#include "scheduler/cron_expression.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"

namespace vqflow {
namespace {

using ::testing::HasSubstr;

// "YYYY-MM-DD HH:MM:SS +hhmm" of an instant in `zone`: the offset tells the
// two passes of a repeated hour apart.
std::string with_offset(TimePoint at, const date::time_zone* zone) {
  auto zoned = date::make_zoned(zone, date::floor<std::chrono::seconds>(at));
  return date::format("%Y-%m-%d %H:%M:%S %z", zoned);
}

std::vector<std::string> fire_times(const std::string& crontab, const std::string& zone_name,
                                    const std::string& from, std::size_t count) {
  const auto* zone = named_time_zone(zone_name);
  auto expression = CronExpression::from_crontab(crontab);
  TimePoint at = parse_date_time(from, zone, "from");
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    auto next = expression.next_at_or_after(at, zone);
    if (!next) break;
    out.push_back(with_offset(*next, zone));
    at = *next + std::chrono::microseconds{1};
  }
  return out;
}

struct FireCase {
  const char* name;
  const char* crontab;
  const char* zone;
  const char* from;  // local time in zone, or ISO with offset
  std::vector<std::string> expected;
};

const char* const ny = "America/New_York";
const char* const berlin = "Europe/Berlin";

TEST(CronExpressionTest, FireTimesFollowTheCrontabRules) {
  const std::vector<FireCase> cases = {
      {"step of minutes",
       "*/15 * * * *",
       "UTC",
       "2024-01-01 10:07:00",
       {"2024-01-01 10:15:00 +0000", "2024-01-01 10:30:00 +0000", "2024-01-01 10:45:00 +0000",
        "2024-01-01 11:00:00 +0000"}},
      {"at or after: a due minute counts",
       "0 * * * *",
       "UTC",
       "2024-01-01 10:00:00",
       {"2024-01-01 10:00:00 +0000", "2024-01-01 11:00:00 +0000"}},
      {"seconds round up to the next minute",
       "* * * * *",
       "UTC",
       "2024-01-01 10:00:01",
       {"2024-01-01 10:01:00 +0000"}},
      {"stepped range of hours",
       "0 9-17/4 * * *",
       "UTC",
       "2024-01-01 00:00:00",
       {"2024-01-01 09:00:00 +0000", "2024-01-01 13:00:00 +0000", "2024-01-01 17:00:00 +0000",
        "2024-01-02 09:00:00 +0000"}},
      {"start/step runs to the field's end",
       "5/20 * * * *",
       "UTC",
       "2024-01-01 00:00:00",
       {"2024-01-01 00:05:00 +0000", "2024-01-01 00:25:00 +0000", "2024-01-01 00:45:00 +0000",
        "2024-01-01 01:05:00 +0000"}},
      {"lists of values and ranges",
       "0,30 8-9 * * *",
       "UTC",
       "2024-01-01 00:00:00",
       {"2024-01-01 08:00:00 +0000", "2024-01-01 08:30:00 +0000", "2024-01-01 09:00:00 +0000",
        "2024-01-01 09:30:00 +0000", "2024-01-02 08:00:00 +0000"}},
      {"weekday names, over a weekend",
       "30 8 * * mon-fri",
       "UTC",
       "2024-01-05 09:00:00",
       {"2024-01-08 08:30:00 +0000", "2024-01-09 08:30:00 +0000"}},
      {"names in any case",
       "0 0 * JAN,Jul Mon",
       "UTC",
       "2024-01-10 00:00:00",
       {"2024-01-15 00:00:00 +0000", "2024-01-22 00:00:00 +0000", "2024-01-29 00:00:00 +0000",
        "2024-07-01 00:00:00 +0000"}},
      {"month names skip whole months",
       "0 0 1 jan,jul *",
       "UTC",
       "2024-03-01 00:00:00",
       {"2024-07-01 00:00:00 +0000", "2025-01-01 00:00:00 +0000"}},
      {"7 is Sunday",
       "0 6 * * 7",
       "UTC",
       "2024-01-01 00:00:00",
       {"2024-01-07 06:00:00 +0000", "2024-01-14 06:00:00 +0000"}},
      {"0 is Sunday",
       "0 6 * * 0",
       "UTC",
       "2024-01-01 00:00:00",
       {"2024-01-07 06:00:00 +0000", "2024-01-14 06:00:00 +0000"}},
      {"a range may end on Sunday",
       "0 6 * * fri-sun",
       "UTC",
       "2024-01-01 00:00:00",
       {"2024-01-05 06:00:00 +0000", "2024-01-06 06:00:00 +0000", "2024-01-07 06:00:00 +0000",
        "2024-01-12 06:00:00 +0000"}},
      {"day 31 skips short months",
       "0 12 31 * *",
       "UTC",
       "2024-01-31 13:00:00",
       {"2024-03-31 12:00:00 +0000", "2024-05-31 12:00:00 +0000", "2024-07-31 12:00:00 +0000"}},
      {"day 30 skips February",
       "0 0 30 * *",
       "UTC",
       "2024-01-31 00:00:00",
       {"2024-03-30 00:00:00 +0000"}},
      {"leap day every four years",
       "0 0 29 2 *",
       "UTC",
       "2024-03-01 00:00:00",
       {"2028-02-29 00:00:00 +0000", "2032-02-29 00:00:00 +0000"}},
      {"no leap day in 2100",
       "0 0 29 2 *",
       "UTC",
       "2096-03-01 00:00:00",
       {"2104-02-29 00:00:00 +0000"}},
      {"both day fields restricted: either matches",
       "0 0 13 * fri",
       "UTC",
       "2024-09-01 00:00:00",
       {"2024-09-06 00:00:00 +0000", "2024-09-13 00:00:00 +0000", "2024-09-20 00:00:00 +0000",
        "2024-09-27 00:00:00 +0000", "2024-10-04 00:00:00 +0000", "2024-10-11 00:00:00 +0000",
        "2024-10-13 00:00:00 +0000", "2024-10-18 00:00:00 +0000"}},
      {"a day field starting with * narrows: both must match",
       "0 0 */2 * mon",
       "UTC",
       "2024-01-01 00:00:00",
       {"2024-01-01 00:00:00 +0000", "2024-01-15 00:00:00 +0000", "2024-01-29 00:00:00 +0000",
        "2024-02-05 00:00:00 +0000", "2024-02-19 00:00:00 +0000"}},
      {"year end rolls over",
       "59 23 31 12 *",
       "UTC",
       "2024-12-31 23:59:30",
       {"2025-12-31 23:59:00 +0000"}},

      // New York: clocks jump 02:00 -> 03:00 on 2024-03-10, fall 02:00 -> 01:00 on 2024-11-03.
      {"spring: a skipped daily time fires when the clocks jump",
       "30 2 * * *",
       ny,
       "2024-03-09 03:00:00",
       {"2024-03-10 03:00:00 -0400", "2024-03-11 02:30:00 -0400"}},
      {"spring: an hourly job follows real time",
       "30 * * * *",
       ny,
       "2024-03-10 00:45:00",
       {"2024-03-10 01:30:00 -0500", "2024-03-10 03:30:00 -0400", "2024-03-10 04:30:00 -0400"}},
      {"spring: skipped times of a fixed hour collapse into one fire",
       "*/30 1-3 * * *",
       ny,
       "2024-03-10 01:00:00",
       {"2024-03-10 01:00:00 -0500", "2024-03-10 01:30:00 -0500", "2024-03-10 03:00:00 -0400",
        "2024-03-10 03:30:00 -0400", "2024-03-11 01:00:00 -0400"}},
      {"fall: a repeated daily time fires once",
       "30 1 * * *",
       ny,
       "2024-11-02 12:00:00",
       {"2024-11-03 01:30:00 -0400", "2024-11-04 01:30:00 -0500"}},
      {"fall: an hourly job fires in both passes",
       "30 * * * *",
       ny,
       "2024-11-03 00:00:00",
       {"2024-11-03 00:30:00 -0400", "2024-11-03 01:30:00 -0400", "2024-11-03 01:30:00 -0500",
        "2024-11-03 02:30:00 -0500"}},
      {"fall: minutes keep going through the repeated hour",
       "*/20 * * * *",
       ny,
       "2024-11-03T01:30:00-04:00",
       {"2024-11-03 01:40:00 -0400", "2024-11-03 01:00:00 -0500", "2024-11-03 01:20:00 -0500",
        "2024-11-03 01:40:00 -0500", "2024-11-03 02:00:00 -0500"}},
      {"fall: from late in the first pass, earlier wall times come round again",
       "10 * * * *",
       ny,
       "2024-11-03T01:50:00-04:00",
       {"2024-11-03 01:10:00 -0500", "2024-11-03 02:10:00 -0500"}},
      {"fall: from the second pass",
       "10 * * * *",
       ny,
       "2024-11-03T01:30:00-05:00",
       {"2024-11-03 02:10:00 -0500"}},
      {"fall: a fixed hour does not fire again in the second pass",
       "10,50 1 * * *",
       ny,
       "2024-11-03T01:30:00-05:00",
       {"2024-11-04 01:10:00 -0500", "2024-11-04 01:50:00 -0500"}},

      // Berlin: 02:00 -> 03:00 on 2024-03-31, 03:00 -> 02:00 on 2024-10-27.
      {"Berlin spring",
       "0 2 * * *",
       berlin,
       "2024-03-30 03:00:00",
       {"2024-03-31 03:00:00 +0200", "2024-04-01 02:00:00 +0200"}},
      {"Berlin fall",
       "30 2 * * *",
       berlin,
       "2024-10-26 12:00:00",
       {"2024-10-27 02:30:00 +0200", "2024-10-28 02:30:00 +0100"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(fire_times(c.crontab, c.zone, c.from, c.expected.size()), c.expected) << c.name;
  }
}

TEST(CronExpressionTest, DaylightSavingNeitherSkipsADayNorFiresTwice) {
  // Every daily time of day across a whole year in two zones: exactly one fire per day.
  for (const char* zone_name : {ny, berlin}) {
    const auto* zone = named_time_zone(zone_name);
    for (const char* crontab : {"30 2 * * *", "0 1 * * *", "59 1 * * *", "0 3 * * *"}) {
      auto expression = CronExpression::from_crontab(crontab);
      TimePoint at = parse_date_time("2024-01-01 00:00:00", zone, "from");
      date::local_days previous_day{};
      int fires = 0;
      while (true) {
        auto next = expression.next_at_or_after(at, zone);
        ASSERT_TRUE(next);
        auto day =
            date::floor<date::days>(zone->to_local(date::floor<std::chrono::seconds>(*next)));
        if (day >= date::local_days{date::year{2025} / 1 / 1}) break;
        if (fires > 0) {
          EXPECT_EQ((day - previous_day).count(), 1)
              << zone_name << " " << crontab << " at " << with_offset(*next, zone);
        }
        previous_day = day;
        ++fires;
        at = *next + std::chrono::microseconds{1};
      }
      EXPECT_EQ(fires, 366) << zone_name << " " << crontab;
    }
  }
}

TEST(CronExpressionTest, RefusesTextsWithAMessageNamingTheFault) {
  struct Case {
    const char* crontab;
    const char* message_part;
  };
  const std::vector<Case> cases = {
      {"* * * *", "Wrong number of fields; got 4, expected 5"},
      {"* * * * * *", "Wrong number of fields; got 6, expected 5"},
      {"", "Wrong number of fields; got 0, expected 5"},
      {"60 * * * *", "minute \"60\": 60 is out of range 0-59"},
      {"* 24 * * *", "hour \"24\": 24 is out of range 0-23"},
      {"* * 0 * *", "day \"0\": 0 is out of range 1-31"},
      {"* * 32 * *", "day \"32\""},
      {"* * * 13 *", "month \"13\": 13 is out of range 1-12"},
      {"* * * 0 *", "month \"0\""},
      {"* * * * 8", "day_of_week \"8\": 8 is out of range 0-7"},
      {"* * * foo *", "month \"foo\": unknown name"},
      {"* * * * mon-funday", "day_of_week \"mon-funday\": unknown name"},
      {"* * * mon *", "month \"mon\": unknown name"},
      {"*/0 * * * *", "minute \"*/0\": step must be at least 1"},
      {"*/x * * * *", "minute \"*/x\": step"},
      {"5-1 * * * *", "minute \"5-1\": range 5-1 runs backwards"},
      {"1,,2 * * * *", "minute \"1,,2\": empty list item"},
      {"1, * * * *", "minute \"1,\": empty list item"},
      {"-5 * * * *", "minute \"-5\""},
      {"a * * * *", "minute \"a\""},
      {"99999999999999999999 * * * *", "minute \"99999999999999999999\""},
      {"0 0 31 2 *", "day \"31\": no day of it falls in month \"2\""},
      {"0 0 30,31 2 *", "day \"30,31\""},
      {"0 0 31 4,6,9,11 *", "day \"31\""},
  };
  for (const auto& c : cases) {
    try {
      CronExpression::from_crontab(c.crontab);
      ADD_FAILURE() << "accepted: " << c.crontab;
    } catch (const ValueError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message_part)) << c.crontab;
    }
  }
  // Day 31 of February is fine while the weekday field widens the days.
  EXPECT_NO_THROW(CronExpression::from_crontab("0 0 31 2 mon"));
}

TEST(CronExpressionTest, SplitsAtRunsOfWhiteSpace) {
  EXPECT_EQ(CronExpression::split_fields("  */5 \t 1\n2   3 4  "),
            (std::vector<std::string>{"*/5", "1", "2", "3", "4"}));
  EXPECT_TRUE(CronExpression::split_fields(" \t\n").empty());
  EXPECT_EQ(CronExpression::from_crontab("  0   12 * *  *  ").describe(),
            "minute='0', hour='12', day='*', month='*', day_of_week='*'");
}

TEST(CronExpressionTest, HostileTextsFailQuickly) {
  std::string huge_list;
  for (int i = 0; i < 100000; ++i) huge_list += "1,";
  huge_list += "1";
  EXPECT_NO_THROW(CronExpression::from_crontab(huge_list + " * * * *"));
  std::string garbage(200000, 'x');
  try {
    CronExpression::from_crontab(garbage + " * * * *");
    ADD_FAILURE();
  } catch (const ValueError& e) {
    EXPECT_LT(std::string(e.what()).size(), 200u);  // the message quotes only the start
  }
  // A step beyond the field keeps only its first value.
  EXPECT_EQ(fire_times("*/99999999999 * * * *", "UTC", "2024-01-01 00:30:00", 1),
            (std::vector<std::string>{"2024-01-01 01:00:00 +0000"}));
}

}  // namespace
}  // namespace vqflow
