#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <iostream>
#include <optional>
#include <string>

#include "base/process_log.h"
#include "commands.h"

namespace {

// "unknown command X; run vqflow --help" when the parse failed because a word
// that names no subcommand stands where one is required; absent otherwise.
std::optional<std::string> unknown_command(const CLI::App& app, const CLI::ParseError& error) {
  if (error.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return std::nullopt;
  const CLI::App* at = &app;
  std::string path = "vqflow";
  for (;;) {
    const std::vector<CLI::App*> parsed = at->get_subcommands();
    if (parsed.empty()) break;
    at = parsed.front();
    path.append(" ").append(at->get_name());
  }
  if (at->get_require_subcommand_min() == 0) return std::nullopt;
  for (const std::string& word : at->remaining()) {
    if (word.empty() || word[0] == '-') continue;
    return fmt::format("unknown command {}; run {} --help", word, path);
  }
  return std::nullopt;
}

int run_vqflow(int argc, char** argv) {
  using namespace vqflow::cli;
  CLI::App app{"vqflow: runs security-automation playbooks and keeps their timers"};
  app.set_version_flag("--version", std::string("vqflow ") + VQFLOW_VERSION);
  app.require_subcommand(1);

  GlobalOptions global;
  app.add_option("--db", global.db,
                 "Relational store: a SQLite file (default vqflow.db), sqlite:///rel.db, "
                 "sqlite:////abs.db or postgresql://user@host:port/db [env VQFLOW_DB]");
  app.add_option("--kv", global.kv,
                 "Key-value store: redis://host:port[/db] or memory://; default: a table in "
                 "the SQLite file [env VQFLOW_KV]");
  app.add_option("--apps", global.apps,
                 "Folder of app plug-ins (default ./apps) [env VQFLOW_APPS]");
  app.add_option("--lose-time", global.lose_time,
                 "Lifetime of run-scoped keys in seconds (default 604800) [env VQFLOW_LOSE_TIME]");
  app.add_option("--max-instances", global.max_instances,
                 "Concurrent calls of one timer job (default 3) [env VQFLOW_MAX_INSTANCES]");
  app.add_option("--max-paths", global.max_paths,
                 "Routes one playbook may enumerate before the run fails (default 10000)");
  app.add_option("--max-loop", global.max_loop,
                 "Iterations one FOR node may make before it fails (default 100000)");
  app.add_option("--app-timeout", global.app_timeout,
                 "Seconds one app call may take before it is killed (default 300)");
  app.add_option("--app-idle", global.app_idle,
                 "Seconds a persistent plug-in may sit idle before it is stopped (default 60)");
  app.add_option("--log-file", global.log_file, "Also write the process log to this file");
  app.add_option("--log-format", global.log_format,
                 "Process log lines as text (default) or json: one object per line with time "
                 "(UTC), level and message")
      ->check(CLI::IsMember({"text", "json"}));

  add_catalog_commands(app, global);
  add_db_commands(app, global);
  add_import_command(app, global);
  add_run_command(app, global);
  add_serve_command(app, global);
  add_worker_command(app, global);
  add_timers_command(app, global);
  add_validate_command(app, global);
  add_runs_command(app, global);
  add_describe_commands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::RuntimeError& e) {
    return e.get_exit_code();  // the command already said why
  } catch (const CLI::ParseError& e) {
    if (auto unknown = unknown_command(app, e)) {
      std::cerr << *unknown << "\n";
      return 2;
    }
    return app.exit(e);
  } catch (const std::exception& e) {
    std::cerr << "vqflow: " << e.what() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Setting up the commands can throw too (a bad default, no memory).
  try {
    return run_vqflow(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "vqflow: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "vqflow: unknown failure\n";
  }
  return 1;
}
