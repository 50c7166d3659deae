#include <boost/asio/io_context.hpp>
#include <iostream>

#include "base/process_log.h"
#include "commands.h"
#include "context/services.h"
#include "run/run_recovery.h"

namespace vqflow::cli {

void add_runs_recover_command(CLI::App& runs, GlobalOptions& global) {
  auto* recover = runs.add_subcommand(
      "recover", "Close the runs that a dead process left running (done at every start anyway)");
  recover->callback([&global] {
    init_process_log(global.log_file);
    Config config = global.resolve();
    boost::asio::io_context ioc;
    auto services = open_services(config, ioc.get_executor());
    const std::vector<RepairedRun> repaired = recover_runs(*services);
    for (const RepairedRun& run : repaired) {
      std::cout << "repaired run " << run.only_id << " of playbook " << run.uuid << ": "
                << interrupt_reason(run.owner) << "\n";
    }
    std::cout << repaired.size() << " run(s) repaired\n";
  });
}

}  // namespace vqflow::cli
