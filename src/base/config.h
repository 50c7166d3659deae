#pragma once
#include <cstddef>
#include <string>

namespace vqflow {

// Settings of one vqflow process. Defaults are documented in the README; the
// command line overrides the environment (VQFLOW_*), which overrides these.
struct Config {
  std::string db_url = "vqflow.db";     // embedded SQLite file in the working directory
  std::string kv_url;                   // empty: the embedded store inside the SQLite file
  std::string apps_path = "apps";       // vq_apps_path
  long long lose_time = 7 * 24 * 3600;  // lifetime of run-scoped keys: a week, so audits can wait
  int max_instances = 3;                // concurrent calls of one scheduler job
  std::size_t max_paths = 10000;        // routes one enumeration may produce
  long long max_loop = 100000;          // iterations one FOR controller may make
  double app_timeout_seconds = 300;     // one app call
  double app_idle_seconds = 60;         // a persistent plug-in idle this long is stopped
  std::size_t app_output_cap = 16u << 20;  // bytes of an app's standard output
};

// Config with VQFLOW_DB, VQFLOW_KV, VQFLOW_APPS, VQFLOW_LOSE_TIME and
// VQFLOW_MAX_INSTANCES applied over the defaults. Throws ConfigError for values
// that do not parse.
Config config_from_environment();

// Checks that the store URLs can work together: with a PostgreSQL database the
// key-value URL must be given, since the embedded store lives in a SQLite file.
// Throws ConfigError("--kv is required with a PostgreSQL database: ...").
void check_store_urls(const Config& config);

// The whole number `text` gives for the setting `name` (a flag or variable
// name, used in the message), within [min, max]. Throws ConfigError otherwise.
long long parse_setting_integer(const std::string& name, const std::string& text, long long min,
                                long long max);

// Bounds of the numeric settings (lose_time is in seconds: up to ten years).
inline constexpr long long k_max_lose_time = 10LL * 366 * 24 * 3600;
inline constexpr int k_max_max_instances = 1000000;

}  // namespace vqflow
