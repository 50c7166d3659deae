#include "commands.h"

namespace vqflow::cli {

void add_timers_command(CLI::App& app, GlobalOptions& global) {
  (void)global;
  app.add_subcommand("timers", "Check timer settings");
}

}  // namespace vqflow::cli
