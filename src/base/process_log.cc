#include "base/process_log.h"

#include <fmt/format.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <vector>

#include "base/errors.h"
#include "base/utf8.h"

namespace vqflow {

namespace {

// `text` as a JSON string literal, quotes included; invalid UTF-8 is replaced
// first, so the dump cannot throw.
std::string json_string(std::string_view text) {
  std::string valid;
  append_valid_utf8(valid, text);
  return nlohmann::json(valid).dump();
}

class JsonLogFormatter : public spdlog::formatter {
 public:
  void format(const spdlog::details::log_msg& msg, spdlog::memory_buf_t& dest) override {
    const auto level = spdlog::level::to_string_view(msg.level);
    const std::string line =
        json_log_line(msg.time, std::string_view(level.data(), level.size()),
                      std::string_view(msg.payload.data(), msg.payload.size())) +
        "\n";
    dest.append(line.data(), line.data() + line.size());
  }
  std::unique_ptr<spdlog::formatter> clone() const override {
    return std::make_unique<JsonLogFormatter>();
  }
};

}  // namespace

LogFormat parse_log_format(std::string_view name) {
  if (name == "text") return LogFormat::text;
  if (name == "json") return LogFormat::json;
  throw ConfigError("--log-format \"" + std::string(name) + "\": give text or json");
}

std::string json_log_line(std::chrono::system_clock::time_point time, std::string_view level,
                          std::string_view message) {
  const auto since_epoch = time.time_since_epoch();
  const auto seconds = std::chrono::floor<std::chrono::seconds>(since_epoch);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds).count();
  const std::time_t whole = static_cast<std::time_t>(seconds.count());
  std::tm utc{};
  gmtime_r(&whole, &utc);
  return fmt::format(
      "{{\"time\": \"{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z\", \"level\": {}, \"message\": "
      "{}}}",
      utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis,
      json_string(level), json_string(message));
}

void init_process_log(const std::optional<std::string>& file, bool errors_only_on_stderr,
                      LogFormat format) {
  std::vector<spdlog::sink_ptr> sinks;
  sinks.push_back(std::make_shared<spdlog::sinks::stderr_sink_mt>());
  if (errors_only_on_stderr) sinks.back()->set_level(spdlog::level::err);
  if (file) {
    try {
      sinks.push_back(std::make_shared<spdlog::sinks::basic_file_sink_mt>(*file));
    } catch (const spdlog::spdlog_ex& e) {
      throw ConfigError("process log " + *file + ": " + e.what() +
                        ": check that the folder exists and is writable");
    }
  }
  auto logger = std::make_shared<spdlog::logger>("vqflow", sinks.begin(), sinks.end());
  if (format == LogFormat::json) {
    logger->set_formatter(std::make_unique<JsonLogFormatter>());
  } else {
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%l] %v");
  }
  logger->set_level(spdlog::level::info);
  logger->flush_on(spdlog::level::info);
  spdlog::set_default_logger(std::move(logger));
}

}  // namespace vqflow
