#include "base/config.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <optional>

#include "base/errors.h"

namespace vqflow {

namespace {

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

bool is_postgres_url(const std::string& url) {
  return url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0;
}

}  // namespace

long long parse_setting_integer(const std::string& name, const std::string& text, long long min,
                                long long max) {
  std::size_t begin = text.find_first_not_of(" \t");
  std::size_t end = text.find_last_not_of(" \t");
  std::string trimmed = begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
  bool digits_only =
      !trimmed.empty() && trimmed.size() <= 19 &&
      trimmed.find_first_not_of("0123456789", trimmed[0] == '-' ? 1 : 0) == std::string::npos &&
      trimmed != "-";
  if (!digits_only) {
    throw ConfigError(fmt::format("{}: \"{}\" is not a whole number: give one between {} and {}",
                                  name, text, min, max));
  }
  errno = 0;
  long long value = std::strtoll(trimmed.c_str(), nullptr, 10);
  if (errno == ERANGE || value < min || value > max) {
    throw ConfigError(fmt::format("{}: {} is out of range: give a number between {} and {}", name,
                                  text, min, max));
  }
  return value;
}

Config config_from_environment() {
  Config config;
  if (auto db = environment("VQFLOW_DB")) config.db_url = *db;
  if (auto kv = environment("VQFLOW_KV")) config.kv_url = *kv;
  if (auto apps = environment("VQFLOW_APPS")) config.apps_path = *apps;
  if (auto lose_time = environment("VQFLOW_LOSE_TIME")) {
    config.lose_time = parse_setting_integer("VQFLOW_LOSE_TIME", *lose_time, 1, k_max_lose_time);
  }
  if (auto max_instances = environment("VQFLOW_MAX_INSTANCES")) {
    config.max_instances = static_cast<int>(
        parse_setting_integer("VQFLOW_MAX_INSTANCES", *max_instances, 1, k_max_max_instances));
  }
  return config;
}

void check_store_urls(const Config& config) {
  if (config.kv_url.empty() && is_postgres_url(config.db_url)) {
    throw ConfigError(
        "--kv is required with a PostgreSQL database: give redis://host:port/db or memory://");
  }
}

}  // namespace vqflow
