#include <boost/asio/io_context.hpp>
#include <iostream>

#include "base/process_log.h"
#include "commands.h"
#include "context/services.h"

namespace vqflow::cli {

void add_db_commands(CLI::App& app, GlobalOptions& global) {
  auto* db = app.add_subcommand("db", "Manage the relational store");
  db->require_subcommand(1);
  auto* init = db->add_subcommand("init", "Create the tables (safe to run again)");
  init->callback([&global] {
    global.start_process_log();
    Config config = global.resolve();
    boost::asio::io_context ioc;
    auto services = open_services(config, ioc.get_executor());
    services->db->init_schema();
    std::cout << "tables ready in " << services->db->describe()
              << " (key-value store: " << services->kv->describe() << ")\n";
  });
}

}  // namespace vqflow::cli
