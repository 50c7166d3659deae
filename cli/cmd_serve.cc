#include "commands.h"

namespace vqflow::cli {

void add_serve_command(CLI::App& app, GlobalOptions& global) {
  (void)global;
  app.add_subcommand("serve", "Serve the run API, live logs and remote calls over HTTP");
}

}  // namespace vqflow::cli
