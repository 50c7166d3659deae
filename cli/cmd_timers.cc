#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "base/errors.h"
#include "commands.h"
#include "scheduler/cron_preview.h"
#include "scheduler/scheduler_time.h"
#include "timer_calls.h"

namespace vqflow::cli {

namespace {

struct NextOptions {
  std::string crontab;
  int count = 5;
  std::optional<std::string> from;
  std::optional<std::string> tz;
};

// Prints the next fire times of a crontab text, one per line, as the timer
// service would compute them.
void print_next(const NextOptions& options) {
  const date::time_zone* zone = options.tz ? named_time_zone(*options.tz) : local_time_zone();
  const TimePoint from =
      options.from ? parse_date_time(*options.from, zone, "--from") : now_of(*real_clock());
  for (const FireTime& next : next_fire_times(options.crontab, from, zone, options.count)) {
    std::cout << next.local << " " << next.weekday << "\n";
  }
}

// Where the timer operations go: --server, or this process on the stores.
struct Target {
  std::optional<std::string> server;
  std::optional<std::string> token;
};

std::unique_ptr<TimerCalls> calls_for(const GlobalOptions& global, const Target& target,
                                      bool changes) {
  if (target.server) return remote_timer_calls(*target.server, target.token);
  return local_timer_calls(global, changes);
}

void add_target_options(CLI::App* command, Target& target) {
  command->add_option("--server", target.server,
                      "Ask the running server at this URL (http://host:port) over its JSON-RPC "
                      "instead of changing the stores here");
  command->add_option("--token", target.token, "Bearer token of --server [env VQFLOW_TOKEN]")
      ->envname("VQFLOW_TOKEN");
}

struct AddOptions {
  std::string id;
  std::string playbook;
  std::string type;
  std::string time;
  std::optional<std::string> interval_type;
  std::optional<std::string> start_date;
  std::optional<std::string> end_date;
  std::optional<long long> jitter;
  bool resume = false;
};

// The exec params that add timer `id` for the playbook (new, so no previous id).
Value timer_add_params(const std::string& id, const std::string& playbook, const Value& settings) {
  Value controller_data = Value::object();
  controller_data[id] = settings;
  return {{"uuid", playbook},
          {"timer_app", id},
          {"w_timer_app", ""},
          {"controller_data", controller_data}};
}

std::string timer_list_text(const Value& jobs) {
  std::vector<std::array<std::string, 4>> rows{{"ID", "PLAYBOOK", "NEXT FIRE", "TRIGGER"}};
  for (const Value& job : jobs) {
    const Value& next = job.value("next_run_time", Value(nullptr));
    rows.push_back({text_form(job.value("id", Value(""))), text_form(job.value("uuid", Value(""))),
                    next.is_null() ? std::string("-") : text_form(next),
                    text_form(job.value("trigger", Value("")))});
  }
  std::array<std::size_t, 4> width{};
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
  }
  std::string out;
  for (const auto& row : rows) {
    out += fmt::format("{:<{}}  {:<{}}  {:<{}}  {}\n", row[0], width[0], row[1], width[1], row[2],
                       width[2], row[3]);
  }
  return out;
}

}  // namespace

void add_timers_command(CLI::App& app, GlobalOptions& global) {
  auto* timers = app.add_subcommand(
      "timers", "List and change the stored timers (here, or on a running server), check crontabs");
  timers->require_subcommand(1);

  auto list_target = std::make_shared<Target>();
  auto list_json = std::make_shared<bool>(false);
  auto* list = timers->add_subcommand(
      "list", "List the timers with their next fire time (\"-\": paused, or it fires no more)");
  add_target_options(list, *list_target);
  list->add_flag("--json", *list_json, "Print the get_jobs answer as one JSON line");
  list->callback([&global, list_target, list_json] {
    Value jobs = calls_for(global, *list_target, false)->call("get_jobs", Value::object());
    std::cout << (*list_json ? json_text(jobs, false) + "\n" : timer_list_text(jobs));
  });

  auto add_target = std::make_shared<Target>();
  auto add = std::make_shared<AddOptions>();
  auto* add_cmd = timers->add_subcommand(
      "add", "Add timer ID that runs PLAYBOOK; it starts paused unless --resume is given");
  add_cmd->add_option("id", add->id, "The timer id")->required();
  add_cmd->add_option("playbook", add->playbook, "The playbook id (uuid) it runs")->required();
  add_cmd->add_option("--type", add->type, "date, interval or cron")->required();
  add_cmd
      ->add_option("--time", add->time,
                   "The date (\"YYYY-MM-DD HH:MM:SS\"), the interval count or the crontab text")
      ->required();
  add_cmd->add_option("--interval-type", add->interval_type,
                      "Unit of an interval: seconds, minutes, hours, days or weeks");
  add_cmd->add_option("--start-date", add->start_date, "No fire before this date-time");
  add_cmd->add_option("--end-date", add->end_date, "No fire after this date-time");
  add_cmd->add_option("--jitter", add->jitter, "Up to this many seconds added to each fire");
  add_cmd->add_flag("--resume", add->resume, "Start it at once");
  add_target_options(add_cmd, *add_target);
  add_cmd->callback([&global, add_target, add] {
    Value settings = {{"type", add->type}, {"time", add->time}};
    if (add->interval_type) settings["interval_type"] = *add->interval_type;
    if (add->start_date) settings["start_date"] = *add->start_date;
    if (add->end_date) settings["end_date"] = *add->end_date;
    if (add->jitter) settings["jitter"] = *add->jitter;
    auto calls = calls_for(global, *add_target, true);
    calls->call("exec", timer_add_params(add->id, add->playbook, settings));
    if (add->resume) calls->call("resume", {{"uuid", add->id}});
    std::cout << "timer " << add->id << " added"
              << (add->resume ? "" : " (paused: vqflow timers resume " + add->id + " starts it)")
              << "\n";
  });

  // The operations on one timer by id.
  struct OneTimer {
    const char* name;
    const char* help;
    const char* method;
    const char* param;
    const char* done;
  };
  for (const OneTimer& op :
       {OneTimer{"pause", "Pause timer ID (it keeps its settings)", "pause", "uuid", "paused"},
        OneTimer{"resume", "Resume timer ID", "resume", "uuid", "resumed"},
        OneTimer{"remove", "Remove timer ID", "remove", "timer_app", "removed"}}) {
    auto target = std::make_shared<Target>();
    auto id = std::make_shared<std::string>();
    auto* command = timers->add_subcommand(op.name, op.help);
    command->add_option("id", *id, "The timer id")->required();
    add_target_options(command, *target);
    command->callback([&global, target, id, op] {
      calls_for(global, *target, true)->call(op.method, {{op.param, *id}});
      std::cout << "timer " << *id << " " << op.done << "\n";
    });
  }

  auto options = std::make_shared<NextOptions>();
  auto* next = timers->add_subcommand(
      "next",
      "Print the next fire times of a five-field crontab text (minute hour day month "
      "day_of_week), or why it is refused");
  next->add_option("crontab", options->crontab,
                   "The crontab text, quoted: \"*/5 9-17 * * mon-fri\"")
      ->required();
  next->add_option("--count,-n", options->count, "How many fire times to print (default 5)")
      ->check(CLI::Range(1, 10000));
  next->add_option("--from", options->from,
                   "Start here instead of now: \"YYYY-MM-DD HH:MM:SS\" (local) or ISO 8601");
  next->add_option("--tz", options->tz,
                   "Time zone of the fire times, e.g. Europe/Berlin (default: the local zone)");
  next->callback([options] { print_next(*options); });
}

}  // namespace vqflow::cli
