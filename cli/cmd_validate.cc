#include <fmt/format.h>

#include <boost/asio/io_context.hpp>
#include <iostream>

#include "commands.h"
#include "context/services.h"
#include "playbook_files.h"

namespace vqflow::cli {

namespace {

struct ValidateOptions {
  std::vector<std::string> files;
  bool strict = false;
  bool json = false;
};

int validate(const GlobalOptions& global, const ValidateOptions& options) {
  std::optional<std::set<std::string>> stored;
  if (global.db) {
    Config config = global.resolve();
    boost::asio::io_context ioc;
    auto services = open_services(config, ioc.get_executor());
    stored = stored_global_names(*services->db);
  }
  const std::vector<CheckedFile> files = check_files(options.files, stored);
  const std::size_t errors = count_errors(files);
  const std::size_t warnings = count_findings(files) - errors;
  if (options.json) {
    Value list = Value::array();
    for (const Finding& finding : all_findings(files)) list.push_back(finding_json(finding));
    std::cout << json_text(list, false) << "\n";
  } else {
    print_findings(std::cout, files);
    std::cout << fmt::format("{} error(s), {} warning(s) in {} file(s)\n", errors, warnings,
                             files.size());
  }
  if (errors > 0 || (options.strict && warnings > 0)) return 1;
  return 0;
}

}  // namespace

void add_validate_command(CLI::App& app, GlobalOptions& global) {
  auto options = std::make_shared<ValidateOptions>();
  auto* cmd = app.add_subcommand(
      "validate",
      "Check playbook files without storing them: errors (the playbook cannot run as drawn) "
      "and warnings (defined behaviour that is rarely meant); exit 1 on errors");
  cmd->add_option("FILE", options->files, "Playbook or import files")->required();
  cmd->add_flag("--strict", options->strict, "Count warnings as errors (exit 1)");
  cmd->add_flag("--json", options->json,
                "Print one JSON array of findings (file, line, column, entry, playbook, node, "
                "member, severity, message)");
  cmd->callback([&global, options] {
    int code = validate(global, *options);
    if (code != 0) throw CLI::RuntimeError(code);
  });
}

}  // namespace vqflow::cli
