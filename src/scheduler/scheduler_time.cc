#include "scheduler/scheduler_time.h"

#include <fmt/format.h>

#include <cstdlib>
#include <optional>

#include "base/errors.h"

namespace vqflow {

namespace {

using std::chrono::hours;
using std::chrono::microseconds;
using std::chrono::minutes;
using std::chrono::seconds;

// A small cursor over the text; every read checks the bounds.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}
  bool done() const { return pos_ >= text_.size(); }
  char peek() const { return done() ? '\0' : text_[pos_]; }
  bool accept(char c) {
    if (peek() != c) return false;
    ++pos_;
    return true;
  }
  // Exactly `count` ASCII digits.
  std::optional<int> digits(int count) {
    int value = 0;
    for (int i = 0; i < count; ++i) {
      char c = peek();
      if (c < '0' || c > '9') return std::nullopt;
      value = value * 10 + (c - '0');
      ++pos_;
    }
    return value;
  }
  bool digit_next() const { return peek() >= '0' && peek() <= '9'; }
  void advance() { ++pos_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

std::string_view trim(std::string_view text) {
  auto blank = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
  };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

TimePoint local_to_instant(date::local_time<microseconds> local, const date::time_zone* zone) {
  // Unique: its offset. Ambiguous: the first occurrence's. Nonexistent: the
  // offset in force before the jump, so 02:30 becomes 03:30. `first` holds
  // each.
  const auto info = zone->get_info(date::floor<seconds>(local));
  return TimePoint{local.time_since_epoch() - info.first.offset};
}

}  // namespace

std::string quote_text(std::string_view text) {
  constexpr std::size_t k_max = 60;
  if (text.size() > k_max) return fmt::format("\"{}...\"", text.substr(0, k_max));
  return fmt::format("\"{}\"", text);
}

TimePoint now_of(const Clock& clock) { return date::floor<microseconds>(clock.wall_now()); }

const date::time_zone* local_time_zone() {
  static const date::time_zone* zone = [] {
    if (const char* tz = std::getenv("TZ"); tz != nullptr && *tz != '\0') {
      std::string name(tz);
      if (name.front() == ':') name.erase(0, 1);
      try {
        return date::locate_zone(name);
      } catch (const std::exception&) {
        // Fall through to the system's zone.
      }
    }
    try {
      return date::current_zone();
    } catch (const std::exception&) {
      return date::locate_zone("UTC");
    }
  }();
  return zone;
}

const date::time_zone* named_time_zone(const std::string& name) {
  try {
    return date::locate_zone(name);
  } catch (const std::exception& e) {
    throw ValueError(fmt::format("time zone {}: {}", quote_text(name), e.what()));
  }
}

TimePoint parse_date_time(std::string_view text, const date::time_zone* zone,
                          std::string_view field) {
  const std::string_view whole = text;
  auto fail = [&](std::string_view why) -> ValueError {
    return ValueError(
        fmt::format("{}: {} is not a date-time ({}; expected YYYY-MM-DD HH:MM:SS "
                    "or ISO 8601)",
                    field, quote_text(whole), why));
  };
  text = trim(text);
  if (text.empty()) throw fail("empty");
  if (text.size() > 64) throw fail("too long");
  Cursor in(text);
  auto year = in.digits(4);
  if (!year || !in.accept('-')) throw fail("bad date");
  auto month = in.digits(2);
  if (!month || !in.accept('-')) throw fail("bad date");
  auto day = in.digits(2);
  if (!day) throw fail("bad date");
  date::year_month_day ymd{date::year{*year}, date::month{static_cast<unsigned>(*month)},
                           date::day{static_cast<unsigned>(*day)}};
  if (!ymd.ok()) throw fail("no such day");

  int hour = 0, minute = 0, second = 0;
  long long micros = 0;
  if (!in.done() && (in.peek() == ' ' || in.peek() == 'T' || in.peek() == 't')) {
    in.advance();
    auto h = in.digits(2);
    if (!h || !in.accept(':')) throw fail("bad time");
    auto m = in.digits(2);
    if (!m) throw fail("bad time");
    hour = *h;
    minute = *m;
    if (in.accept(':')) {
      auto s = in.digits(2);
      if (!s) throw fail("bad time");
      second = *s;
      if (in.accept('.') || in.accept(',')) {
        if (!in.digit_next()) throw fail("bad fraction");
        int count = 0;
        while (in.digit_next()) {
          if (count < 6) micros = micros * 10 + (in.peek() - '0');
          ++count;
          in.advance();
          if (count > 9) throw fail("bad fraction");
        }
        for (int i = count; i < 6; ++i) micros *= 10;
      }
    }
    if (hour > 23 || minute > 59 || second > 59) throw fail("time out of range");
  }

  std::optional<minutes> offset;
  if (!in.done()) {
    if (in.accept('Z') || in.accept('z')) {
      offset = minutes{0};
    } else if (in.peek() == '+' || in.peek() == '-') {
      int sign = in.peek() == '-' ? -1 : 1;
      in.advance();
      auto oh = in.digits(2);
      if (!oh) throw fail("bad offset");
      int om = 0;
      if (in.accept(':')) {
        auto m = in.digits(2);
        if (!m) throw fail("bad offset");
        om = *m;
      } else if (in.digit_next()) {
        auto m = in.digits(2);
        if (!m) throw fail("bad offset");
        om = *m;
      }
      if (*oh > 23 || om > 59) throw fail("offset out of range");
      offset = minutes{sign * (*oh * 60 + om)};
    }
  }
  if (!in.done()) throw fail("unexpected text after the date-time");

  auto clock_time = hours{hour} + minutes{minute} + seconds{second} + microseconds{micros};
  auto local_days = date::local_days{ymd};
  if (offset) {
    return TimePoint{date::sys_days{ymd}.time_since_epoch() + clock_time - *offset};
  }
  return local_to_instant(
      date::local_time<microseconds>{local_days.time_since_epoch() + clock_time}, zone);
}

std::string format_local_time(TimePoint when, const date::time_zone* zone) {
  auto local = zone->to_local(date::floor<seconds>(when));
  return date::format("%Y-%m-%d %H:%M:%S", local);
}

}  // namespace vqflow
