#include "scheduler/scheduler_triggers.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <climits>

#include "base/errors.h"

namespace vqflow {

namespace {

using std::chrono::microseconds;
using std::chrono::seconds;

constexpr long long k_max_interval_seconds = 100LL * 366 * 24 * 3600;  // a century

const date::time_zone* zone_or_local(const date::time_zone* zone) {
  return zone != nullptr ? zone : local_time_zone();
}

bool is_blank_text(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  });
}

std::string bounds_text(const std::optional<TimePoint>& start, const std::optional<TimePoint>& end,
                        int jitter, const date::time_zone* zone) {
  std::string out;
  if (start) out += fmt::format(", start_date='{}'", format_local_time(*start, zone));
  if (end) out += fmt::format(", end_date='{}'", format_local_time(*end, zone));
  if (jitter != 0) out += fmt::format(", jitter={}", jitter);
  return out;
}

// Python's timedelta text: "0:10:00", "1 day, 0:00:00", "14 days, 0:00:00".
std::string duration_text(seconds total) {
  long long s = total.count();
  long long days = s / 86400;
  s %= 86400;
  std::string clock = fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
  if (days == 0) return clock;
  return fmt::format("{} day{}, {}", days, days == 1 ? "" : "s", clock);
}

void check_fields(std::string_view kind, const Value& fields,
                  std::initializer_list<std::string_view> allowed) {
  for (const auto& [name, value] : fields.items()) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
      throw ValueError(fmt::format("{} trigger: unknown field \"{}\"", kind, name));
    }
  }
}

Value field(const Value& fields, const char* name) {
  auto it = fields.find(name);
  return it == fields.end() ? Value(nullptr) : *it;
}

}  // namespace

std::optional<TimePoint> parse_bound(const Value& value, const date::time_zone* zone,
                                     std::string_view field) {
  if (value.is_null()) return std::nullopt;
  if (!value.is_string()) {
    throw ValueError(
        fmt::format("{}: expected a date-time text, got {}", field, literal_form(value)));
  }
  const auto& text = value.get_ref<const std::string&>();
  if (is_blank_text(text)) return std::nullopt;
  return parse_date_time(text, zone_or_local(zone), field);
}

int parse_jitter(const Value& value) {
  if (value.is_null()) return 0;
  auto number = value_to_integer(value);
  if (!number || value.is_boolean()) {
    throw ValueError(fmt::format("jitter: {} is not a whole number", literal_form(value)));
  }
  if (*number < 0 || *number > INT_MAX) {
    throw ValueError(fmt::format("jitter: {} is out of range 0-{}", *number, INT_MAX));
  }
  return static_cast<int>(*number);
}

// --- date ---

std::optional<TimePoint> DateTrigger::next_fire_time(std::optional<TimePoint> previous,
                                                     TimePoint) const {
  if (previous) return std::nullopt;
  return run_date_;
}

std::string DateTrigger::describe() const {
  return fmt::format("date[{}]", format_local_time(run_date_, zone_));
}

// --- interval ---

IntervalTrigger::IntervalTrigger(seconds interval, TimePoint start_date,
                                 std::optional<TimePoint> end_date, int jitter,
                                 const date::time_zone* zone)
    : interval_(interval),
      start_date_(start_date),
      end_date_(end_date),
      jitter_(jitter),
      zone_(zone_or_local(zone)) {
  if (interval_.count() <= 0) throw ValueError("interval: must be at least one second");
}

std::optional<TimePoint> IntervalTrigger::next_fire_time(std::optional<TimePoint> previous,
                                                         TimePoint earliest) const {
  TimePoint lower = earliest;
  if (previous) lower = std::max(lower, *previous + microseconds{1});
  TimePoint next = start_date_;
  if (lower > start_date_) {
    const microseconds step = interval_;
    auto periods = (lower - start_date_ + step - microseconds{1}) / step;
    next = start_date_ + periods * step;
  }
  if (end_date_ && next > *end_date_) return std::nullopt;
  return next;
}

std::string IntervalTrigger::describe() const {
  return fmt::format("interval[{}{}]", duration_text(interval_),
                     bounds_text(std::nullopt, end_date_, jitter_, zone_));
}

// --- cron ---

CronTrigger::CronTrigger(CronExpression expression, std::optional<TimePoint> start_date,
                         std::optional<TimePoint> end_date, int jitter, const date::time_zone* zone)
    : expression_(std::move(expression)),
      start_date_(start_date),
      end_date_(end_date),
      jitter_(jitter),
      zone_(zone_or_local(zone)) {}

std::shared_ptr<CronTrigger> CronTrigger::from_crontab(const Value& expr, const Value& start_date,
                                                       const Value& end_date, const Value& jitter,
                                                       const date::time_zone* zone) {
  if (!expr.is_string()) {
    throw ValueError(fmt::format("cron: expected a crontab text, got {}", literal_form(expr)));
  }
  auto expression = CronExpression::from_crontab(expr.get_ref<const std::string&>());
  return std::make_shared<CronTrigger>(
      std::move(expression), parse_bound(start_date, zone, "start_date"),
      parse_bound(end_date, zone, "end_date"), parse_jitter(jitter), zone);
}

std::optional<TimePoint> CronTrigger::next_fire_time(std::optional<TimePoint> previous,
                                                     TimePoint earliest) const {
  TimePoint lower = earliest;
  if (start_date_) lower = std::max(lower, *start_date_);
  if (previous) lower = std::max(lower, *previous + microseconds{1});
  auto next = expression_.next_at_or_after(lower, zone_);
  if (!next || (end_date_ && *next > *end_date_)) return std::nullopt;
  return next;
}

std::string CronTrigger::describe() const {
  return fmt::format("cron[{}{}]", expression_.describe(),
                     bounds_text(start_date_, end_date_, jitter_, zone_));
}

// --- factory ---

std::shared_ptr<const Trigger> make_trigger(std::string_view kind, const Value& fields,
                                            const TriggerContext& context) {
  const date::time_zone* zone = zone_or_local(context.zone);
  const Value named = fields.is_null() ? Value::object() : fields;
  if (!named.is_object()) {
    throw ValueError(fmt::format("{} trigger: fields must be given by name", kind));
  }
  if (kind == "date") {
    check_fields(kind, named, {"run_date"});
    Value run_date = field(named, "run_date");
    if (!run_date.is_string()) {
      throw ValueError(
          fmt::format("run_date: expected a date-time text, got {}", literal_form(run_date)));
    }
    return std::make_shared<DateTrigger>(
        parse_date_time(run_date.get_ref<const std::string&>(), zone, "run_date"), zone);
  }
  if (kind == "interval") {
    check_fields(
        kind, named,
        {"weeks", "days", "hours", "minutes", "seconds", "start_date", "end_date", "jitter"});
    static constexpr std::array<std::pair<const char*, long long>, 5> units = {
        {{"weeks", 604800}, {"days", 86400}, {"hours", 3600}, {"minutes", 60}, {"seconds", 1}}};
    std::optional<long long> total;
    int given_units = 0;
    for (const auto& [name, unit] : units) {
      Value count = field(named, name);
      if (count.is_null()) continue;
      ++given_units;
      auto n = value_to_integer(count);
      if (!n || count.is_boolean()) {
        throw ValueError(fmt::format("{}: {} is not a whole number", name, literal_form(count)));
      }
      if (*n < 1 || *n > k_max_interval_seconds / unit) {
        throw ValueError(
            fmt::format("{}: {} is out of range 1-{}", name, *n, k_max_interval_seconds / unit));
      }
      total = *n * unit;
    }
    if (given_units != 1) {
      throw ValueError(
          "interval trigger: give exactly one of weeks, days, hours, minutes, seconds");
    }
    seconds interval{*total};
    auto start = parse_bound(field(named, "start_date"), zone, "start_date");
    auto end = parse_bound(field(named, "end_date"), zone, "end_date");
    int jitter = parse_jitter(field(named, "jitter"));
    return std::make_shared<IntervalTrigger>(interval, start.value_or(context.now + interval), end,
                                             jitter, zone);
  }
  if (kind == "cron") {
    check_fields(
        kind, named,
        {"minute", "hour", "day", "month", "day_of_week", "start_date", "end_date", "jitter"});
    std::array<std::string, 5> parts;
    for (int i = 0; i < 5; ++i) {
      const char* name = CronExpression::k_field_names[i];
      Value part = field(named, name);
      if (part.is_null()) {
        parts[i] = "*";
      } else if (part.is_string()) {
        parts[i] = part.get<std::string>();
      } else if (part.is_number_integer()) {
        parts[i] = text_form(part);
      } else {
        throw ValueError(
            fmt::format("{}: expected a crontab field, got {}", name, literal_form(part)));
      }
    }
    auto expression = CronExpression::parse(parts);
    return std::make_shared<CronTrigger>(
        std::move(expression), parse_bound(field(named, "start_date"), zone, "start_date"),
        parse_bound(field(named, "end_date"), zone, "end_date"),
        parse_jitter(field(named, "jitter")), zone);
  }
  throw ValueError(
      fmt::format("trigger: unknown kind \"{}\" (expected date, interval or cron)", kind));
}

}  // namespace vqflow
