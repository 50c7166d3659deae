#include "base/errors.h"
#include "base/process_log.h"
#include "commands.h"

namespace vqflow::cli {

Config GlobalOptions::resolve() const {
  Config config = config_from_environment();
  if (db) config.db_url = *db;
  if (kv) config.kv_url = *kv;
  if (apps) config.apps_path = *apps;
  if (lose_time) {
    if (*lose_time <= 0) throw ConfigError("--lose-time must be a positive number of seconds");
    config.lose_time = *lose_time;
  }
  if (max_instances) {
    if (*max_instances <= 0) throw ConfigError("--max-instances must be at least 1");
    config.max_instances = *max_instances;
  }
  if (max_paths) config.max_paths = *max_paths;
  if (max_loop) config.max_loop = *max_loop;
  if (app_timeout) {
    if (*app_timeout <= 0) throw ConfigError("--app-timeout must be a positive number of seconds");
    config.app_timeout_seconds = *app_timeout;
  }
  if (app_idle) {
    // Bounded so that the duration arithmetic cannot overflow (a day is plenty).
    if (!(*app_idle > 0 && *app_idle <= 86400)) {
      throw ConfigError("--app-idle must be a number of seconds above 0 and at most 86400");
    }
    config.app_idle_seconds = *app_idle;
  }
  return config;
}

void GlobalOptions::start_process_log(bool errors_only_on_stderr) const {
  init_process_log(log_file, errors_only_on_stderr, parse_log_format(log_format));
}

}  // namespace vqflow::cli
