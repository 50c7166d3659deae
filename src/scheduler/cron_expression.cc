#include "scheduler/cron_expression.h"

#include <fmt/format.h>

#include <cctype>

#include "base/errors.h"

namespace vqflow {

namespace {

using std::chrono::minutes;
using LocalMinutes = date::local_time<minutes>;

constexpr int k_search_years = 400;  // one full Gregorian cycle

struct FieldRule {
  int min;
  int max;
  const char* const* names;  // names[i] is value i + name_base; null when the field has none
  int name_count;
  int name_base;
};

constexpr const char* k_month_names[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
constexpr const char* k_weekday_names[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};

constexpr FieldRule k_rules[5] = {
    {0, 59, nullptr, 0, 0},        {0, 23, nullptr, 0, 0},        {1, 31, nullptr, 0, 0},
    {1, 12, k_month_names, 12, 1}, {0, 7, k_weekday_names, 7, 0},
};

constexpr int k_weekday = 4;

bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

class FieldParser {
 public:
  FieldParser(int index, std::string_view text)
      : index_(index), rule_(k_rules[index]), text_(text) {}

  std::uint64_t parse() {
    if (text_.empty()) throw fail("empty field");
    std::uint64_t bits = 0;
    std::size_t start = 0;
    while (true) {
      std::size_t comma = text_.find(',', start);
      std::string_view item = text_.substr(
          start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
      bits |= parse_item(item);
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
    return bits;
  }

 private:
  ValueError fail(const std::string& cause) const {
    return ValueError(
        fmt::format("{} {}: {}", CronExpression::k_field_names[index_], quote_text(text_), cause));
  }

  std::uint64_t parse_item(std::string_view item) {
    if (item.empty()) throw fail("empty list item");
    std::optional<long long> step;
    if (auto slash = item.find('/'); slash != std::string_view::npos) {
      std::string_view step_text = item.substr(slash + 1);
      item = item.substr(0, slash);
      auto parsed = number(step_text);
      if (!parsed) throw fail(fmt::format("step {} is not a number", quote_text(step_text)));
      if (*parsed < 1) throw fail("step must be at least 1");
      step = parsed;
    }
    int max = index_ == k_weekday ? 6 : rule_.max;  // `*` of weekdays: Sunday once
    long long lo, hi;
    if (item == "*") {
      lo = rule_.min;
      hi = max;
    } else if (auto dash = item.find('-'); dash != std::string_view::npos) {
      lo = value(item.substr(0, dash));
      hi = value(item.substr(dash + 1));
      // "fri-sun": Sunday as 7 when it ends a range.
      if (index_ == k_weekday && hi == 0 && lo > 0) hi = 7;
      if (lo > hi) throw fail(fmt::format("range {}-{} runs backwards", lo, hi));
    } else {
      lo = value(item);
      hi = step ? max : lo;
    }
    std::uint64_t bits = 0;
    long long by = step.value_or(1);
    for (long long v = lo; v <= hi; v += by) {
      int bit = (index_ == k_weekday && v == 7) ? 0 : static_cast<int>(v);
      bits |= std::uint64_t{1} << bit;
    }
    return bits;
  }

  // A number or a name of the field, checked against the field's range.
  long long value(std::string_view text) {
    if (text.empty()) throw fail("missing value in range");
    if (std::isalpha(static_cast<unsigned char>(text.front()))) {
      std::string lower;
      for (char c : text) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      for (int i = 0; i < rule_.name_count; ++i) {
        if (lower == rule_.names[i]) return i + rule_.name_base;
      }
      throw fail(fmt::format("unknown name {}", quote_text(text)));
    }
    auto parsed = number(text);
    if (!parsed) throw fail(fmt::format("{} is not a number", quote_text(text)));
    if (*parsed < rule_.min || *parsed > rule_.max) {
      throw fail(fmt::format("{} is out of range {}-{}", text, rule_.min, rule_.max));
    }
    return *parsed;
  }

  // ASCII digits only; values beyond nine digits saturate (they are out of range anyway).
  static std::optional<long long> number(std::string_view text) {
    if (text.empty()) return std::nullopt;
    long long value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      if (value < 1'000'000'000) value = value * 10 + (c - '0');
    }
    return value;
  }

  int index_;
  const FieldRule& rule_;
  std::string_view text_;
};

unsigned max_days_in_month(unsigned month) {
  static constexpr unsigned days[] = {0, 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return days[month];
}

}  // namespace

std::vector<std::string> CronExpression::split_fields(std::string_view text) {
  std::vector<std::string> fields;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && is_blank(text[i])) ++i;
    std::size_t start = i;
    while (i < text.size() && !is_blank(text[i])) ++i;
    if (i > start) fields.emplace_back(text.substr(start, i - start));
  }
  return fields;
}

CronExpression CronExpression::from_crontab(std::string_view text) {
  auto values = split_fields(text);
  if (values.size() != 5) {
    throw ValueError(fmt::format("Wrong number of fields; got {}, expected 5", values.size()));
  }
  return parse({values[0], values[1], values[2], values[3], values[4]});
}

CronExpression CronExpression::parse(const std::array<std::string, 5>& fields) {
  CronExpression expr;
  expr.fields_ = fields;
  std::uint64_t bits[5];
  for (int i = 0; i < 5; ++i) bits[i] = FieldParser(i, fields[i]).parse();
  expr.minutes_ = bits[0];
  expr.hours_ = static_cast<std::uint32_t>(bits[1]);
  expr.days_ = static_cast<std::uint32_t>(bits[2]);
  expr.months_ = static_cast<std::uint32_t>(bits[3]);
  expr.weekdays_ = static_cast<std::uint32_t>(bits[4]);
  expr.day_restricted_ = fields[2].front() != '*';
  expr.weekday_restricted_ = fields[4].front() != '*';
  expr.follows_real_time_ = fields[1].front() == '*';

  // Only the day field decides which dates exist when the weekday field does
  // not widen it: "31 2" would never fire, and the search would run dry.
  if (!(expr.day_restricted_ && expr.weekday_restricted_)) {
    bool possible = false;
    for (unsigned m = 1; m <= 12 && !possible; ++m) {
      if (!(expr.months_ >> m & 1)) continue;
      for (unsigned d = 1; d <= max_days_in_month(m); ++d) {
        if (expr.days_ >> d & 1) {
          possible = true;
          break;
        }
      }
    }
    if (!possible) {
      throw ValueError(fmt::format("day {}: no day of it falls in month {}", quote_text(fields[2]),
                                   quote_text(fields[3])));
    }
  }
  return expr;
}

bool CronExpression::day_matches(date::sys_days day) const {
  date::year_month_day ymd{day};
  bool by_day = days_ >> static_cast<unsigned>(ymd.day()) & 1;
  bool by_weekday = weekdays_ >> date::weekday{day}.c_encoding() & 1;
  if (day_restricted_ && weekday_restricted_) return by_day || by_weekday;
  return by_day && by_weekday;
}

std::optional<LocalMinutes> CronExpression::next_match(LocalMinutes from,
                                                       LocalMinutes limit) const {
  auto day = date::floor<date::days>(from);
  auto last_day = date::floor<date::days>(limit);
  int minute_of_day = static_cast<int>((from - day).count());
  int h = minute_of_day / 60, m = minute_of_day % 60;
  while (day <= last_day) {
    date::year_month_day ymd{day};
    if (!(months_ >> static_cast<unsigned>(ymd.month()) & 1)) {
      auto next_month = date::year_month{ymd.year(), ymd.month()} + date::months{1};
      day = date::local_days{next_month / 1};
      h = m = 0;
      continue;
    }
    if (day_matches(date::sys_days{day.time_since_epoch()})) {
      for (int hh = h; hh < 24; ++hh) {
        if (!(hours_ >> hh & 1)) continue;
        int from_minute = hh == h ? m : 0;
        std::uint64_t mask = minutes_ & (~std::uint64_t{0} << from_minute);
        if (mask != 0) {
          LocalMinutes found = day + std::chrono::hours{hh} + minutes{__builtin_ctzll(mask)};
          if (found > limit) return std::nullopt;
          return found;
        }
      }
    }
    day += date::days{1};
    h = m = 0;
  }
  return std::nullopt;
}

std::optional<TimePoint> CronExpression::next_at_or_after(TimePoint t,
                                                          const date::time_zone* zone) const {
  t = TimePoint{date::ceil<minutes>(t)};
  auto info = zone->get_info(date::floor<std::chrono::seconds>(t));
  auto local_start = date::ceil<minutes>(
      date::local_time<std::chrono::microseconds>{t.time_since_epoch() + info.offset});
  LocalMinutes limit = local_start + date::days{366 * k_search_years};

  // The earliest instant of wall time `local` that is not before `t`.
  auto instant_of = [&](LocalMinutes local) -> std::optional<TimePoint> {
    auto li = zone->get_info(date::local_seconds{local});
    switch (li.result) {
      case date::local_info::unique: {
        TimePoint at{local.time_since_epoch() - li.first.offset};
        if (at >= t) return at;
        return std::nullopt;
      }
      case date::local_info::nonexistent: {
        if (follows_real_time_) return std::nullopt;
        TimePoint at{li.second.begin};
        if (at >= t) return at;
        return std::nullopt;
      }
      default: {  // ambiguous
        TimePoint first{local.time_since_epoch() - li.first.offset};
        if (first >= t) return first;
        if (!follows_real_time_) return std::nullopt;
        TimePoint second{local.time_since_epoch() - li.second.offset};
        if (second >= t) return second;
        return std::nullopt;
      }
    }
  };

  std::optional<TimePoint> best;
  LocalMinutes from = local_start;
  // Each rejected wall time lies in a skipped or repeated stretch; a day holds
  // at most 1440 of them, so this bound is never the reason for stopping.
  for (int guard = 0; guard < 100'000; ++guard) {
    auto local = next_match(from, limit);
    if (!local) break;
    if (auto at = instant_of(*local)) {
      best = at;
      break;
    }
    from = *local + minutes{1};
  }

  // When the clocks are about to go back, wall times earlier than t's come
  // round again: their second pass may come before `best`.
  if (follows_real_time_ &&
      info.end - date::floor<std::chrono::seconds>(t) <= std::chrono::hours{26}) {
    auto after = zone->get_info(info.end);
    if (after.offset < info.offset) {
      LocalMinutes repeat_start =
          date::floor<minutes>(date::local_seconds{info.end.time_since_epoch() + after.offset});
      if (repeat_start < local_start) {
        if (auto local = next_match(repeat_start, local_start - minutes{1})) {
          TimePoint at{local->time_since_epoch() - after.offset};
          if (!best || at < *best) best = at;
        }
      }
    }
  }
  return best;
}

std::string CronExpression::describe() const {
  return fmt::format("minute='{}', hour='{}', day='{}', month='{}', day_of_week='{}'", fields_[0],
                     fields_[1], fields_[2], fields_[3], fields_[4]);
}

}  // namespace vqflow
