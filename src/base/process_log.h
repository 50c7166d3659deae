#pragma once
#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace vqflow {

// How each line of the process log is written: text is
// `[2026-12-09 10:00:00.123] [info] message` (local time); json is one object
// per line, {"time": "2026-12-09T09:00:00.123Z", "level": "info", "message": "..."}.
enum class LogFormat { text, json };

// "text" or "json"; ConfigError otherwise.
LogFormat parse_log_format(std::string_view name);

// Sets up the process log (spdlog's default logger): info and error lines on
// stderr, and in `file` as well when given. Safe to call more than once.
// With errors_only_on_stderr, stderr shows error lines only (commands whose
// standard output already shows every record); the file still gets everything.
void init_process_log(const std::optional<std::string>& file = std::nullopt,
                      bool errors_only_on_stderr = false, LogFormat format = LogFormat::text);

// One json line of the process log (without the line feed): the time in UTC
// with milliseconds, the level name, and the message, escaped as JSON
// (ill-formed UTF-8 becomes U+FFFD).
std::string json_log_line(std::chrono::system_clock::time_point time, std::string_view level,
                          std::string_view message);

}  // namespace vqflow
