#include "run/run_catalog.h"

#include <map>
#include <string>

#include "base/text.h"
#include "run/playbook_checks.h"

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

std::set<std::string> stored_global_names(Database& db) {
  std::set<std::string> names;
  for (const Row& row : db.table("variablen").select({"key"}).where("status", 0).get()) {
    names.insert(text_form(row.value("key", Value())));
  }
  return names;
}

std::optional<Value> playbook_detail(Database& db, const std::string& uuid) {
  std::optional<Row> row = db.table("workflow").where("uuid", uuid).first();
  if (!row) return std::nullopt;
  ImportBatch batch;
  batch.workflows.push_back(*row);
  CheckContext context;
  context.global_names = stored_global_names(db);
  context.store_asked = true;
  Value findings = Value::array();
  for (const Finding& finding : check_playbooks(batch, "stored playbook", context)) {
    findings.push_back(finding_json(finding));
  }
  Value out = Value::object();
  for (const std::string& column : table_columns("workflow")) {
    const Value stored = row->value(column, Value());
    if (column == "for_list" || column == "if_list" || column == "audit_list") {
      Value ids = Value::array();
      if (stored.is_string()) {
        for (std::string& id : split(stored.get_ref<const std::string&>(), ",")) {
          if (!id.empty()) ids.push_back(std::move(id));
        }
      }
      out[column] = std::move(ids);
    } else if (stored.is_string() && (column == "flow_json" || column == "flow_data" ||
                                      column == "controller_data" || column == "local_var_data")) {
      std::optional<Value> document = try_parse_json(stored.get_ref<const std::string&>());
      if (document) {
        out[column] = std::move(*document);
      } else {
        out[column] = stored;
      }
    } else {
      out[column] = stored;
    }
  }
  out["findings"] = std::move(findings);
  return out;
}

}  // namespace vqflow
