#include <fmt/format.h>

#include <iostream>
#include <optional>
#include <string>

#include "base/errors.h"
#include "commands.h"
#include "scheduler/cron_expression.h"
#include "scheduler/scheduler_time.h"

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
  auto expression = CronExpression::from_crontab(options.crontab);
  TimePoint at =
      options.from ? parse_date_time(*options.from, zone, "--from") : now_of(*real_clock());
  for (int i = 0; i < options.count; ++i) {
    auto next = expression.next_at_or_after(at, zone);
    if (!next) {
      if (i == 0) throw ValueError("cron: no fire time within the next 400 years");
      break;
    }
    auto local = zone->to_local(date::floor<std::chrono::seconds>(*next));
    std::cout << format_local_time(*next, zone) << " "
              << date::format("%a", date::floor<date::days>(local)) << "\n";
    at = *next + std::chrono::microseconds{1};
  }
}

}  // namespace

void add_timers_command(CLI::App& app, GlobalOptions& global) {
  (void)global;
  auto* timers = app.add_subcommand("timers", "Check timer settings");
  timers->require_subcommand(1);

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
