#include "run/run_states.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>

#include "records/run_records.h"

namespace vqflow {

namespace {

long long integer_of(const Value& value) {
  if (value.is_number_integer()) return value.get<long long>();
  return 0;
}

// Playbook names by uuid, read once per listing.
std::map<std::string, std::string> playbook_names(Database& db) {
  std::map<std::string, std::string> names;
  for (const Row& row : db.table("workflow").select({"uuid", "name"}).get()) {
    names[stored_text(row["uuid"])] = stored_text(row["name"]);
  }
  return names;
}

std::string playbook_name(Database& db, const std::string& uuid) {
  auto row = db.table("workflow").select({"name"}).where("uuid", uuid).first();
  return row ? stored_text((*row)["name"]) : "";
}

}  // namespace

std::string stored_text(const Value& value) { return value.is_null() ? "" : text_form(value); }

Row running_row(const RunState& run, const std::string& uuid, const std::string& start_app,
                const std::string& user, const std::string& now) {
  Row row = Row::object();
  row["only_id"] = run.only_id;
  row["uuid"] = uuid;
  row["state"] = "running";
  row["owner"] = run.services()->owner;
  row["start_app"] = start_app;
  row["attempt"] = run.attempt;
  row["user"] = user;
  row["cancel_by"] = "";
  row["waiting_at"] = "";
  row["started"] = now;
  row["ended"] = "";
  row["update_time"] = now;
  return row;
}

Row waiting_row(const RunState& run, const std::string& node, const std::string& now) {
  Row row = Row::object();
  row["only_id"] = run.only_id;
  row["state"] = "waiting";
  row["owner"] = "";
  row["waiting_at"] = node;
  row["failed_steps"] = run.failed_steps;
  row["update_time"] = now;
  return row;
}

Row closed_row(const std::string& only_id, const std::string& state, long long failed_steps,
               const std::string& reason, const std::string& now) {
  Row row = Row::object();
  row["only_id"] = only_id;
  row["state"] = state;
  row["owner"] = "";
  row["waiting_at"] = "";
  row["failed_steps"] = failed_steps;
  row["reason"] = reason;
  row["ended"] = now;
  row["update_time"] = now;
  return row;
}

awaitable<void> store_run_state(RunState& run, Row row) {
  return records::store_record(&run, "runs", std::move(row));
}

std::optional<Value> run_state(Database& db, const std::string& only_id) {
  auto row = db.table("runs").where("only_id", only_id).first();
  if (!row) return std::nullopt;
  const Row& r = *row;
  Value out = Value::object();
  out["only_id"] = only_id;
  out["uuid"] = stored_text(r["uuid"]);
  out["playbook"] = playbook_name(db, stored_text(r["uuid"]));
  out["state"] = stored_text(r["state"]);
  out["started"] = stored_text(r["started"]);
  out["ended"] = stored_text(r["ended"]);
  out["failed_steps"] = integer_of(r["failed_steps"]);
  out["reason"] = stored_text(r["reason"]);
  out["waiting_at"] = stored_text(r["waiting_at"]);
  out["user"] = stored_text(r["user"]);
  Value nodes = Value::array();
  for (const Row& log : db.table("logs")
                            .select({"app_uuid", "app_name", "status", "result", "create_time"})
                            .where("only_id", only_id)
                            .get()) {
    Value node = Value::object();
    node["app_uuid"] = stored_text(log["app_uuid"]);
    node["app_name"] = stored_text(log["app_name"]);
    node["status"] = integer_of(log["status"]);
    node["result"] = stored_text(log["result"]);
    node["create_time"] = stored_text(log["create_time"]);
    nodes.push_back(std::move(node));
  }
  out["nodes"] = std::move(nodes);
  return out;
}

Value list_runs(Database& db, const RunFilter& filter) {
  Query query =
      db.table("runs").select({"only_id", "uuid", "state", "started", "ended", "failed_steps"});
  if (!filter.uuid.empty()) query.where("uuid", filter.uuid);
  if (!filter.state.empty()) query.where("state", filter.state);
  const auto names = playbook_names(db);
  Value out = Value::array();
  for (const Row& r : query.newest_first().get(std::clamp(filter.limit, 1LL, 1000LL))) {
    Value run = Value::object();
    run["only_id"] = stored_text(r["only_id"]);
    run["uuid"] = stored_text(r["uuid"]);
    auto name = names.find(stored_text(r["uuid"]));
    run["playbook"] = name == names.end() ? "" : name->second;
    run["state"] = stored_text(r["state"]);
    run["started"] = stored_text(r["started"]);
    run["ended"] = stored_text(r["ended"]);
    run["failed_steps"] = integer_of(r["failed_steps"]);
    out.push_back(std::move(run));
  }
  return out;
}

void request_cancel(Database& db, const std::string& only_id, const std::string& user,
                    const std::string& now) {
  Row changes = Row::object();
  changes["cancel_by"] = user.empty() ? "unknown" : user;
  changes["update_time"] = now;
  if (db.table("runs").where("only_id", only_id).where("state", "running").update(changes) == 1) {
    return;
  }
  auto row = db.table("runs").select({"state"}).where("only_id", only_id).first();
  if (!row) throw RunNotFoundError("no run with only_id " + only_id);
  throw RunNotRunningError(
      fmt::format("run {} is {}, not running: only a running run can be "
                  "cancelled",
                  only_id, stored_text((*row)["state"])));
}

}  // namespace vqflow
