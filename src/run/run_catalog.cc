#include "run/run_catalog.h"

#include <map>
#include <string>

namespace vqflow {

Value list_playbooks(Database& db) {
  const std::vector<std::string> columns = {"uuid",   "name",      "remarks",
                                            "status", "start_app", "end_app"};
  Value out = Value::array();
  for (const Row& row : db.table("workflow").select(columns).get()) {
    Value item = Value::object();
    for (const std::string& column : columns) item[column] = row.value(column, Value());
    out.push_back(std::move(item));
  }
  return out;
}

Value list_pending_audits(Database& db) {
  std::vector<Row> rows =
      db.table("audit")
          .select({"workflow_uuid", "only_id", "audit_app", "user_id", "create_time"})
          .where("status", 0)
          .get();
  // One name lookup per playbook, however many of its runs wait.
  std::map<std::string, Value> names;
  Value out = Value::array();
  for (Row& row : rows) {
    const Value uuid = row.value("workflow_uuid", Value());
    const std::string key = text_form(uuid);
    auto known = names.find(key);
    if (known == names.end()) {
      std::optional<Row> playbook =
          db.table("workflow").select({"name"}).where("uuid", uuid).first();
      known = names.emplace(key, playbook ? playbook->value("name", Value()) : Value()).first;
    }
    Value item = Value::object();
    item["uuid"] = uuid;
    item["playbook"] = known->second;
    item["only_id"] = row.value("only_id", Value());
    item["audit_app"] = row.value("audit_app", Value());
    item["approver"] = row.value("user_id", Value());
    item["waiting_since"] = row.value("create_time", Value());
    out.push_back(std::move(item));
  }
  return out;
}

}  // namespace vqflow
