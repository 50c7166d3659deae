// The engine's operations under their own names; each is carried out by the
// layer that owns the rule, on the engine's run state.
#include "apps/app_invocation.h"
#include "apps/variables.h"
#include "flow/node_tables.h"
#include "records/run_records.h"
#include "run/auto.h"
#include "walker/walker_support.h"

namespace vqflow {

Auto::Auto(std::shared_ptr<Services> services, std::shared_ptr<ClientConnection> socket)
    : RunState(std::move(services), std::move(socket)) {}

bool Auto::is_identification(const std::string& app_dir) {
  return apps::is_identification(*services(), app_dir);
}

std::pair<int, Value> Auto::is_public(const std::string& app_dir) {
  return apps::is_public(*services(), app_dir);
}

void Auto::make_var(const Value& local_var, const Value& controller_var) {
  apps::make_var(*this, local_var, controller_var);
}

awaitable<void> Auto::make_var_on_loop(const Value& local_var, const Value& controller_var) {
  awaitable<std::vector<Row>> read = apps::read_global_rows(*this);
  const std::vector<Row> rows = co_await std::move(read);
  apps::make_var(*this, local_var, controller_var, &rows);
}

Expansion Auto::analysis_var(const std::string& text) { return apps::analysis_var(*this, text); }

awaitable<void> Auto::add_execute_logs(const Value& uuid, const Value& app_uuid,
                                       const Value& app_name, const Value& result,
                                       const Value& status, const Value& html, const Value& args) {
  return records::add_execute_logs(*this, uuid, app_uuid, app_name, result, status, html, args);
}

awaitable<void> Auto::add_report() { return records::add_report(*this); }

awaitable<void> Auto::add_audit(const Value& workflow_uuid, const Value& only_id,
                                const Value& user_id, const Value& audit_app,
                                const Value& start_app) {
  return records::add_audit(*this, workflow_uuid, only_id, user_id, audit_app, start_app);
}

awaitable<Value> Auto::execute(std::string app_uuid, std::optional<std::string> app_dir,
                               std::optional<Value> datas) {
  return apps::execute(this, std::move(app_uuid), std::move(app_dir), std::move(datas));
}

awaitable<NodeResult> Auto::get_app_data(std::string uuid, std::string app_uuid,
                                         std::optional<Value> app_info, bool for_play) {
  return apps::get_app_data(this, std::move(uuid), std::move(app_uuid), std::move(app_info),
                            for_play);
}

awaitable<int> Auto::for_play_book(std::vector<std::string> paths, std::string uuid,
                                   bool for_play) {
  return walker::for_play_book(this, std::move(paths), std::move(uuid), for_play);
}

awaitable<void> Auto::for_controller(std::string left, std::string right, std::string uuid) {
  return walker::for_controller(this, std::move(left), std::move(right), std::move(uuid));
}

awaitable<std::optional<bool>> Auto::is_condition(std::string left, std::string uuid,
                                                  std::string if_else_result) {
  return walker::is_condition(this, std::move(left), std::move(uuid), std::move(if_else_result));
}

Value Auto::make_node_link(const Value& edges) { return vqflow::make_node_link(edges); }

Value Auto::make_node_list(const Value& edges, const std::optional<std::string>& end_app) {
  return vqflow::make_node_list(edges, end_app);
}

Value Auto::make_node_name(const Value& edges) { return vqflow::make_node_name(edges); }

}  // namespace vqflow
