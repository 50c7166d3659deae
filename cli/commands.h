#pragma once
#include <CLI/CLI.hpp>
#include <optional>
#include <string>

#include "base/config.h"
#include "server/queue_worker.h"

namespace vqflow::cli {

// Flags shared by every command; each falls back on its VQFLOW_* variable,
// then on the default of Config.
struct GlobalOptions {
  std::optional<std::string> db;
  std::optional<std::string> kv;
  std::optional<std::string> apps;
  std::optional<long long> lose_time;
  std::optional<int> max_instances;
  std::optional<std::size_t> max_paths;
  std::optional<long long> max_loop;
  std::optional<double> app_timeout;
  std::optional<double> app_idle;
  std::optional<std::string> log_file;
  std::string log_format = "text";

  // The configuration these flags select (throws ConfigError).
  Config resolve() const;
  // Sets up the process log with --log-file and --log-format.
  void start_process_log(bool errors_only_on_stderr = false) const;
};

// Each command file registers its subcommand(s) on the app. Callbacks report
// failures by throwing; main prints one line and exits non-zero.
void add_catalog_commands(CLI::App& app, GlobalOptions& global);  // cmd_catalog.cc
void add_db_commands(CLI::App& app, GlobalOptions& global);       // cmd_db.cc
void add_import_command(CLI::App& app, GlobalOptions& global);    // cmd_import.cc
void add_run_command(CLI::App& app, GlobalOptions& global);       // cmd_run.cc
void add_serve_command(CLI::App& app, GlobalOptions& global);     // cmd_serve.cc
void add_timers_command(CLI::App& app, GlobalOptions& global);    // cmd_timers.cc
void add_validate_command(CLI::App& app, GlobalOptions& global);  // cmd_validate.cc
// `runs list/show/logs/cancel/recover` (cmd_runs.cc, cmd_runs_recover.cc).
void add_runs_command(CLI::App& app, GlobalOptions& global);
void add_runs_recover_command(CLI::App& runs, GlobalOptions& global);  // cmd_runs_recover.cc

void add_worker_command(CLI::App& app, GlobalOptions& global);  // cmd_worker.cc

// The consumer options `worker` and `serve --queue` share (cmd_worker.cc).
struct WorkerFlags {
  std::size_t concurrency = k_worker_concurrency_default;
  double claim_after = 30;
};
void add_worker_options(CLI::App& cmd, WorkerFlags& flags);
QueueWorkerOptions worker_options(const WorkerFlags& flags);
// Throws ConfigError naming `command` unless the key-value store is Redis.
void require_redis(const Config& config, const char* command);

// Commands that describe the app itself: `completion bash|zsh` and `man`
// (cmd_describe.cc). Add them last: they walk the other subcommands.
void add_describe_commands(CLI::App& app);

}  // namespace vqflow::cli
