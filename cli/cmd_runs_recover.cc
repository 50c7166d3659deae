#include <boost/asio/io_context.hpp>
#include <iostream>

#include "base/process_log.h"
#include "commands.h"
#include "context/services.h"
#include "run/run_recovery.h"

namespace vqflow::cli {

void add_runs_recover_command(CLI::App& runs, GlobalOptions& global) {
  auto* recover = runs.add_subcommand(
      "recover",
      "Repair the runs that a dead process left running: close them as interrupted, or walk "
      "those that asked for it again and wait for them (done at every start anyway)");
  recover->callback([&global] {
    init_process_log(global.log_file);
    Config config = global.resolve();
    boost::asio::io_context ioc;
    auto services = open_services(config, ioc.get_executor());
    // The resumed walks run here, so this process keeps its lease and sees
    // cancels until the last of them ends.
    std::size_t walking = 0;
    std::unique_ptr<RunKeeper> keeper;
    auto walked = [&](const RunOutcome& outcome) {
      std::cout << "resumed run " << outcome.only_id << " ended " << outcome.state << "\n";
      if (--walking == 0) keeper->stop();
    };
    keeper = std::make_unique<RunKeeper>(services, false, walked);
    const std::vector<RepairedRun> repaired = keeper->start();
    for (const RepairedRun& run : repaired) {
      std::cout << "repaired run " << run.only_id << " of playbook " << run.uuid << ": "
                << run.reason << "\n";
      if (run.resumed) ++walking;
    }
    std::cout << repaired.size() << " run(s) repaired" << std::endl;
    if (walking == 0) keeper->stop();
    ioc.run();
  });
}

}  // namespace vqflow::cli
