#include <iostream>

#include <boost/asio/io_context.hpp>

#include "commands.h"
#include "base/process_log.h"
#include "context/services.h"
#include "run/playbook_import.h"

namespace vqflow::cli {

namespace {
struct ImportOptions {
  std::vector<std::string> files;
};
}  // namespace

void add_import_command(CLI::App& app, GlobalOptions& global) {
  auto options = std::make_shared<ImportOptions>();
  auto* cmd = app.add_subcommand("import", "Store playbooks and global variables from JSON files");
  cmd->add_option("FILE", options->files, "Import files")->required();
  cmd->callback([&global, options] {
    init_process_log(global.log_file);
    Config config = global.resolve();
    // Every file is read and checked before anything is stored.
    std::vector<ImportBatch> batches;
    for (const auto& file : options->files) batches.push_back(read_import_file(file));
    boost::asio::io_context ioc;
    auto services = open_services(config, ioc.get_executor());
    for (std::size_t i = 0; i < batches.size(); ++i) {
      store_import(*services->db, batches[i]);
      std::cout << options->files[i] << ": " << batches[i].workflows.size() << " playbook(s), "
                << batches[i].variables.size() << " variable(s) imported\n";
    }
  });
}

}  // namespace vqflow::cli
