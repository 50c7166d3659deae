#pragma once
#include <date/tz.h>

#include <chrono>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace vqflow {

// Instants of the scheduler: UTC, microsecond precision (years 1 to 9999 fit;
// nanosecond system_clock ticks would overflow past 2262).
using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// `text` in double quotes for an error message of the scheduler; a text over
// 60 bytes is cut ("...") so that errors about hostile texts stay one short line.
std::string quote_text(std::string_view text);

// The wall time of `clock` at the scheduler's precision.
TimePoint now_of(const Clock& clock);

// The process's local time zone: $TZ when it names a zone, else the system's
// (/etc/localtime), else UTC. Looked up once.
const date::time_zone* local_time_zone();

// A named zone ("Europe/Berlin"); throws ValueError when the database lacks it.
const date::time_zone* named_time_zone(const std::string& name);

// Reads "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" and the ISO 8601 forms
// ("2024-05-01T10:00:00.25Z", "...+02:00", "...+0200", "...+02"); surrounding
// blanks are ignored. Without an offset the text is a local time in `zone`: a
// time that the clocks skip reads as the same wall time after the jump
// (02:30 -> 03:30), a repeated time as its first occurrence. Throws ValueError
// "{field}: ..." naming the field and the text.
TimePoint parse_date_time(std::string_view text, const date::time_zone* zone,
                          std::string_view field);

// "YYYY-MM-DD HH:MM:SS" in `zone` (fractions dropped).
std::string format_local_time(TimePoint when, const date::time_zone* zone);

}  // namespace vqflow
