#include <fmt/format.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <filesystem>
#include <functional>
#include <iostream>

#include "base/error_text.h"
#include "base/errors.h"
#include "base/process_log.h"
#include "commands.h"
#include "console_connection.h"
#include "context/services.h"
#include "playbook_files.h"
#include "run/auto_execute.h"
#include "run/interrupt_rules.h"
#include "run/run_admission.h"
#include "run/run_recovery.h"

namespace vqflow::cli {

namespace {

struct RunOptions {
  std::string playbook;
  std::optional<std::string> controller_data;
  std::optional<std::string> data;
  std::optional<std::string> app_uuid;
  std::optional<std::string> audit_status;
  std::optional<std::string> audit_app;
  std::optional<std::string> only_id;
  std::optional<std::string> user;
  std::optional<std::string> start_app;
  std::optional<std::string> on_interrupt;
  bool json = false;
  bool verbose = false;
};

// The uuid to run: PLAYBOOK itself, or the single playbook of the file it names
// (checked as by validate, and imported first; warnings are not repeated here).
std::string resolve_playbook(const std::string& playbook, Database& db) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(playbook, ec)) return playbook;
  const std::vector<CheckedFile> files = check_files({playbook}, stored_global_names(db));
  if (count_errors(files) > 0) {
    std::string lines;
    for (const Finding& finding : files[0].findings) {
      if (finding.is_error()) lines += (lines.empty() ? "" : "\n") + finding_line(finding);
    }
    throw ConfigError(lines);
  }
  const ImportBatch& batch = files[0].batch;
  if (batch.workflows.size() != 1) {
    throw ConfigError(fmt::format(
        "{}: holds {} playbooks; import it with `vqflow import` and run one by its uuid", playbook,
        batch.workflows.size()));
  }
  store_import(db, batch);
  return batch.workflows[0]["uuid"].get<std::string>();
}

// The exit status of `vqflow run` (README): 0 closed without failed steps or
// waiting for a decision, 1 never started, 3 closed with failed steps, 4
// aborted, 5 cancelled, 128 + the signal when a signal interrupted it.
int exit_code(const RunOutcome& outcome, int signal_number) {
  if (outcome.state == "done" || outcome.state == "waiting") return 0;
  if (outcome.state == "failed") return 3;
  if (outcome.state == "aborted") return 4;
  if (outcome.state == "cancelled") return 5;
  if (outcome.state == "interrupted") return 128 + signal_number;
  return 1;
}

int run_playbook(const GlobalOptions& global, const RunOptions& options) {
  // Standard output shows every record already; stderr keeps the errors.
  global.start_process_log(!options.verbose);
  Config config = global.resolve();
  if (options.audit_app && !options.only_id) {
    throw ConfigError("--audit-app needs --only-id (the waiting run's identifier)");
  }
  if (options.on_interrupt) checked_on_interrupt(*options.on_interrupt, "--on-interrupt");
  boost::asio::io_context ioc;
  auto services = open_services(config, ioc.get_executor());
  const std::string uuid = resolve_playbook(options.playbook, *services->db);

  try {
    check_playbook(*services->db, uuid);
  } catch (const PlaybookMissingError&) {
    throw ConfigError(fmt::format(
        "playbook {} not found in {}: import it first (vqflow import FILE) or give a playbook file",
        uuid, services->db->describe()));
  }

  RunRequest request;
  if (options.controller_data) request.controller_data = Value(*options.controller_data);
  if (options.data) {
    // Structured input arrives as a map or list, as it does from the web front end.
    auto parsed = try_parse_json(*options.data);
    request.data = parsed && parsed->is_structured() ? *parsed : Value(*options.data);
  }
  request.app_uuid = options.app_uuid;
  if (options.audit_status) request.audit_status = Value(*options.audit_status);
  request.audit_app = options.audit_app;
  request.only_id = options.only_id;
  if (options.user) request.user = Value(*options.user);
  request.start_app = options.start_app;
  request.on_interrupt = options.on_interrupt;

  // Runs a dead process left that asked to be resumed are walked here too;
  // the process ends when its own run and those have ended.
  std::size_t walking = 1;
  std::function<void()> all_ended;
  auto walked = [&](const RunOutcome&) {
    if (--walking == 0) all_ended();
  };
  RunKeeper keeper(services, false, walked);
  // SIGINT and SIGTERM stop the run (its app's process group too); it records
  // the interruption and closes before the process exits.
  int signal_number = 0;
  boost::asio::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code& error, int number) {
    if (error) return;
    signal_number = number;
    services->active->stop_all(interrupt_reason(services->owner));
  });

  auto console = std::make_shared<ConsoleConnection>(std::cout, options.json);
  RunOutcome outcome;
  all_ended = [&] {
    keeper.stop();
    signals.cancel();
  };
  auto_execute(services, uuid, console, std::move(request), [&](const RunOutcome& closed) {
    outcome = closed;
    walked(closed);
  });
  // After the request is accepted: a refused one leaves no resumed walk behind.
  for (const RepairedRun& run : keeper.start()) {
    if (run.resumed) ++walking;
  }
  ioc.run();
  if (outcome.error) {
    std::cerr << "vqflow: run " << outcome.only_id << " of playbook " << uuid
              << " failed: " << describe_exception(outcome.error) << "\n";
  }
  if (outcome.state == "interrupted" && signal_number == 0) signal_number = SIGTERM;
  return exit_code(outcome, signal_number);
}

}  // namespace

void add_run_command(CLI::App& app, GlobalOptions& global) {
  auto options = std::make_shared<RunOptions>();
  auto* cmd = app.add_subcommand("run", "Run a playbook (a stored uuid or a playbook file)");
  cmd->add_option("PLAYBOOK", options->playbook,
                  "Playbook uuid, or a playbook file to import and run")
      ->required();
  cmd->add_option("--controller-data", options->controller_data,
                  "Node settings for this run (a JSON object text keyed by node id)");
  cmd->add_option("--data", options->data, "Input data for the node named by --app-uuid");
  cmd->add_option("--app-uuid", options->app_uuid, "Node that receives --data");
  cmd->add_option("--audit-status", options->audit_status, "Audit decision: 1 approve, 2 reject");
  cmd->add_option("--audit-app", options->audit_app, "Audit node whose decision is delivered");
  cmd->add_option("--only-id", options->only_id, "Identifier of the run waiting for the decision");
  cmd->add_option("--user", options->user, "Who decided");
  cmd->add_option("--start-app", options->start_app,
                  "Node to continue from after approval (default: the node after the audit node "
                  "on the route the run stopped on)");
  cmd->add_option("--on-interrupt", options->on_interrupt,
                  "If this process dies: fail (close the run as interrupted) or resume (the next "
                  "process walks it again, reusing the finished nodes); default: the playbook's");
  cmd->add_flag("--json", options->json, "Print each live message as its exact JSON text");
  cmd->add_flag("-v,--verbose", options->verbose,
                "Also show the process log's info lines on stderr");
  cmd->callback([&global, options] {
    int code = run_playbook(global, *options);
    if (code != 0) throw CLI::RuntimeError(code);
  });
}

}  // namespace vqflow::cli
