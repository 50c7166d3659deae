#include <boost/asio/io_context.hpp>
#include <iostream>

#include "base/process_log.h"
#include "commands.h"
#include "context/services.h"
#include "run/run_catalog.h"
#include "table_output.h"

namespace vqflow::cli {

namespace {

// Adds `NOUN list [--json]`, which prints what `read` answers from the store.
template <typename Read>
void add_list_command(CLI::App& app, GlobalOptions& global, const char* noun, const char* about,
                      std::vector<std::string> columns, const char* empty, Read read) {
  auto* group = app.add_subcommand(noun, about);
  group->require_subcommand(1);
  auto json = std::make_shared<bool>(false);
  auto* list = group->add_subcommand("list", about);
  list->add_flag("--json", *json, "Print one JSON array instead of a table");
  list->callback([&global, json, columns = std::move(columns), empty, read] {
    init_process_log(global.log_file);
    Config config = global.resolve();
    boost::asio::io_context ioc;
    auto services = open_services(config, ioc.get_executor());
    print_items(std::cout, read(*services->db), columns, *json, empty);
  });
}

}  // namespace

void add_catalog_commands(CLI::App& app, GlobalOptions& global) {
  add_list_command(app, global, "playbooks", "List the stored playbooks",
                   {"uuid", "name", "status", "start_app", "end_app", "remarks"},
                   "no playbooks stored", list_playbooks);
  add_list_command(app, global, "audits", "List the approvals runs wait for",
                   {"only_id", "audit_app", "approver", "waiting_since", "uuid", "playbook"},
                   "no run waits for a decision", list_pending_audits);
}

}  // namespace vqflow::cli
