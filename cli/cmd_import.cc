#include <boost/asio/io_context.hpp>
#include <iostream>

#include "base/process_log.h"
#include "commands.h"
#include "context/services.h"
#include "playbook_files.h"

namespace vqflow::cli {

namespace {
struct ImportOptions {
  std::vector<std::string> files;
};
}  // namespace

void add_import_command(CLI::App& app, GlobalOptions& global) {
  auto options = std::make_shared<ImportOptions>();
  auto* cmd = app.add_subcommand(
      "import",
      "Store playbooks and global variables from JSON files (checked as by validate: a file "
      "with errors stores nothing)");
  cmd->add_option("FILE", options->files, "Import files")->required();
  cmd->callback([&global, options] {
    global.start_process_log();
    Config config = global.resolve();
    boost::asio::io_context ioc;
    auto services = open_services(config, ioc.get_executor());
    // Every file is read and checked before anything is stored.
    const std::vector<CheckedFile> files =
        check_files(options->files, stored_global_names(*services->db));
    print_findings(std::cerr, files);
    if (const std::size_t errors = count_errors(files); errors > 0) {
      std::cerr << "vqflow: nothing imported: " << errors << " error(s)\n";
      throw CLI::RuntimeError(1);
    }
    for (const CheckedFile& file : files) {
      store_import(*services->db, file.batch);
      std::cout << file.path << ": " << file.batch.workflows.size() << " playbook(s), "
                << file.batch.variables.size() << " variable(s) imported\n";
    }
  });
}

}  // namespace vqflow::cli
