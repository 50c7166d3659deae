#include <fmt/format.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <iostream>
#include <thread>

#include "base/errors.h"
#include "base/process_log.h"
#include "base/utilities.h"
#include "commands.h"
#include "console_connection.h"
#include "context/services.h"
#include "run/auto_execute.h"
#include "run/run_states.h"
#include "table_output.h"

namespace vqflow::cli {

namespace {

struct RunsOptions {
  std::string only_id;
  std::optional<std::string> playbook;
  std::optional<std::string> state;
  int limit = 50;
  std::string user = "cli";
  bool json = false;
  bool follow = false;
};

// How often `runs logs --follow` looks for new records.
constexpr std::chrono::milliseconds k_follow_interval{500};

std::shared_ptr<Services> open_stores(const GlobalOptions& global, boost::asio::io_context& ioc) {
  init_process_log(global.log_file);
  return open_services(global.resolve(), ioc.get_executor());
}

Value run_or_fail(Database& db, const std::string& only_id) {
  std::optional<Value> run = run_state(db, only_id);
  if (!run) throw ConfigError(fmt::format("no run {} in {}", only_id, db.describe()));
  return *run;
}

void list(const GlobalOptions& global, const RunsOptions& options) {
  boost::asio::io_context ioc;
  auto services = open_stores(global, ioc);
  RunFilter filter;
  if (options.playbook) filter.uuid = *options.playbook;
  if (options.state) filter.state = *options.state;
  filter.limit = options.limit;
  print_items(std::cout, list_runs(*services->db, filter),
              {"only_id", "state", "started", "ended", "failed_steps", "uuid", "playbook"},
              options.json, "no runs");
}

void show(const GlobalOptions& global, const RunsOptions& options) {
  boost::asio::io_context ioc;
  auto services = open_stores(global, ioc);
  const Value run = run_or_fail(*services->db, options.only_id);
  if (options.json) {
    std::cout << json_text(run, false) << "\n";
    return;
  }
  for (const char* field : {"only_id", "uuid", "playbook", "state", "started", "ended",
                            "failed_steps", "reason", "waiting_at", "user"}) {
    const Value value = run.value(field, Value());
    if (value.is_null() || value == "") continue;
    std::cout << pad(std::string(field) + ":", 14) << one_line(text_form(value)) << "\n";
  }
  std::cout << "\n";
  print_items(std::cout, run.value("nodes", Value::array()),
              {"create_time", "app_name", "status", "result"}, false, "no records");
}

bool in_progress(const Value& run) {
  const Value state = run.value("state", Value());
  return state == "running" || state == "waiting";
}

// The run's stored records as `vqflow run` prints them live; with `follow`,
// also those written later, until the run is neither running nor waiting.
void logs(const GlobalOptions& global, const RunsOptions& options) {
  boost::asio::io_context ioc;
  auto services = open_stores(global, ioc);
  Database& db = *services->db;
  ConsoleConnection console(std::cout, options.json);
  long long last_id = 0;
  bool seen_any = false;
  for (;;) {
    // The state first: records written before it said "closed" are all read
    // below.
    std::optional<Value> run = run_state(db, options.only_id);
    for (Row& row :
         db.table("logs").where("only_id", options.only_id).where("id", ">", last_id).get()) {
      last_id = row.value("id", Value(last_id)).get<long long>();
      row.erase("id");
      Value message = Value::object();
      message["method"] = "execute_log";
      message["data"] = std::move(row);
      console.send(json_text(message));
      seen_any = true;
    }
    if (!run && !seen_any) {
      throw ConfigError(fmt::format("no run {} in {}", options.only_id, db.describe()));
    }
    if (run && !(options.follow && in_progress(*run))) {
      if (run->value("state", Value()) != "running") {
        RunOutcome outcome;
        outcome.only_id = options.only_id;
        outcome.state = text_form(run->value("state", Value()));
        outcome.failed_steps = run->value("failed_steps", Value(0)).is_number_integer()
                                   ? run->value("failed_steps", Value(0)).get<long long>()
                                   : 0;
        outcome.waiting_at = run->value("waiting_at", Value()).is_string()
                                 ? run->value("waiting_at", Value()).get<std::string>()
                                 : "";
        outcome.reason = run->value("reason", Value()).is_string()
                             ? run->value("reason", Value()).get<std::string>()
                             : "";
        console.send(json_text(run_closed_message(outcome)));
      }
      return;
    }
    if (!options.follow) return;
    std::this_thread::sleep_for(k_follow_interval);
  }
}

void cancel(const GlobalOptions& global, const RunsOptions& options) {
  boost::asio::io_context ioc;
  auto services = open_stores(global, ioc);
  request_cancel(*services->db, options.only_id, options.user,
                 Time::get_date_time(*services->clock));
  std::cout << "cancel requested for run " << options.only_id
            << "; the process running it stops it\n";
}

}  // namespace

void add_runs_command(CLI::App& app, GlobalOptions& global) {
  auto* runs = app.add_subcommand("runs", "List, inspect, follow and cancel runs");
  runs->require_subcommand(1);
  auto options = std::make_shared<RunsOptions>();

  auto* list_cmd = runs->add_subcommand("list", "List runs, newest first");
  list_cmd->add_option("--playbook", options->playbook, "Only the runs of this playbook uuid");
  list_cmd->add_option("--state", options->state,
                       "Only runs in this state: running, waiting, done, failed, aborted, "
                       "interrupted, cancelled");
  list_cmd->add_option("--limit", options->limit, "At most this many runs (default 50)")
      ->check(CLI::Range(1, 1000));
  list_cmd->add_flag("--json", options->json, "Print one JSON array instead of a table");
  list_cmd->callback([&global, options] { list(global, *options); });

  auto* show_cmd = runs->add_subcommand("show", "Show one run: its state, outcome and nodes");
  show_cmd->add_option("ONLY_ID", options->only_id, "The run's id")->required();
  show_cmd->add_flag("--json", options->json, "Print one JSON object");
  show_cmd->callback([&global, options] { show(global, *options); });

  auto* logs_cmd = runs->add_subcommand("logs", "Print a run's records as `vqflow run` does");
  logs_cmd->add_option("ONLY_ID", options->only_id, "The run's id")->required();
  logs_cmd->add_flag("-f,--follow", options->follow,
                     "Keep printing new records until the run is neither running nor waiting");
  logs_cmd->add_flag("--json", options->json, "Print each record as its exact JSON message");
  logs_cmd->callback([&global, options] { logs(global, *options); });

  auto* cancel_cmd = runs->add_subcommand("cancel", "Ask the process running a run to stop it");
  cancel_cmd->add_option("ONLY_ID", options->only_id, "The run's id")->required();
  cancel_cmd->add_option("--user", options->user, "Who asks (default cli)");
  cancel_cmd->callback([&global, options] { cancel(global, *options); });

  add_runs_recover_command(*runs, global);
}

}  // namespace vqflow::cli
