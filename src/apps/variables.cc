#include "apps/variables.h"

#include "apps/variable_tables.h"
#include "stores/database.h"

namespace vqflow::apps {

namespace {

Query global_rows_query(RunState& run) {
  return run.services()->db->table("variablen").select({"key", "value"}).where("status", 0);
}

}  // namespace

awaitable<std::vector<Row>> read_global_rows(RunState& run) {
  return loop_select(*run.services(), global_rows_query(run));
}

void make_var(RunState& run, const Value& local_var, const Value& controller_var,
              const std::vector<Row>* global_rows) {
  // 1. Node settings: actions of FOR and IF controllers, then every node's text.
  // Staging may send a full stage; a failure of that send propagates.
  SettingWrites settings =
      setting_writes(controller_var, run.only_id, run.timer_app, run.for_list, run.if_list);
  for (SettingWrite& write : settings.writes) {
    run.stage_kv(std::move(write.key), std::move(write.value));
  }
  if (settings.fault) std::rethrow_exception(settings.fault);

  // 2. Local variables.
  if (std::optional<Value> table = local_variable_table(local_var)) {
    run.local_var_data = std::move(*table);
  }

  // 3. Global variables: every row with status 0.
  const std::vector<Row> rows = global_rows ? std::vector<Row>() : global_rows_query(run).get();
  Value globals = global_variable_table(global_rows ? *global_rows : rows);
  if (!globals.is_null()) run.global_var_data = std::move(globals);
}

}  // namespace vqflow::apps
