#include "run/run_admission.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "base/utilities.h"
#include "flow/node_tables.h"
#include "stores/database.h"

namespace vqflow {

namespace {

bool follows(const Value& links, const std::string& from, const std::string& to) {
  if (!links.is_array()) return false;
  for (const Value& link : links) {
    if (link.is_array() && link.size() == 2 && text_form(link[0]) == from &&
        text_form(link[1]) == to) {
      return true;
    }
  }
  return false;
}

long long status_of(const Row& row) {
  const Value& status = row.value("status", Value());
  return status.is_number_integer() ? status.get<long long>() : -1;
}

std::string describe_decided(const Row& row) {
  const long long status = status_of(row);
  const std::string what = status == 1 ? "approved" : status == 2 ? "rejected" : "closed";
  std::string out = what;
  const Value& decider = row.value("decider", Value());
  if (!decider.is_null() && !text_form(decider).empty()) out += " by " + text_form(decider);
  const Value& when = row.value("update_time", Value());
  if (!when.is_null()) out += " at " + text_form(when);
  return out;
}

Value playbook_links(Database& db, const std::string& uuid) {
  std::optional<Row> row = db.table("workflow").select({"flow_json"}).where("uuid", uuid).first();
  if (!row) return Value::array();
  std::optional<Value> flow = try_parse_json(text_form((*row)["flow_json"]));
  if (!flow || !flow->is_object() || !flow->contains("cells")) return Value::array();
  try {
    return make_node_link((*flow)["cells"]);
  } catch (const FlowError&) {
    return Value::array();  // a broken document has no edges to follow
  }
}

}  // namespace

void check_playbook(Database& db, const std::string& uuid) {
  std::optional<Row> row = db.table("workflow").select({"status"}).where("uuid", uuid).first();
  if (!row) throw PlaybookMissingError(fmt::format("no playbook with uuid {}", uuid));
  const Value& status = (*row)["status"];
  if (status.is_number_integer() && status.get<long long>() == 1) {
    throw PlaybookDisabledError(fmt::format("playbook {} is disabled (status 1)", uuid));
  }
}

DecisionCheck check_decision(const AuditDecision& decision, const DecisionFacts& facts) {
  DecisionCheck out;
  auto refuse = [&out](std::string why) {
    out.refusal = std::move(why);
    return out;
  };
  if (decision.status != "1" && decision.status != "2") {
    return refuse(fmt::format("audit_status \"{}\" is no decision: give 1 (approve) or 2 (reject)",
                              decision.status));
  }
  if (facts.audit_rows.empty()) {
    return refuse(fmt::format("run {} of playbook {} never waited for a decision", decision.only_id,
                              decision.uuid));
  }
  const Row* pending = nullptr;
  const Row* decided = nullptr;
  std::vector<std::string> waiting_at;
  for (const Row& row : facts.audit_rows) {
    const std::string node = text_form(row.value("audit_app", Value()));
    const bool open = status_of(row) == 0;
    if (open) waiting_at.push_back(node);
    if (node != decision.audit_app) continue;
    if (open && pending == nullptr) pending = &row;
    if (!open) decided = &row;
  }
  if (pending == nullptr) {
    if (decided != nullptr) {
      return refuse(fmt::format("the decision for run {} at audit node {} was made already ({})",
                                decision.only_id, decision.audit_app, describe_decided(*decided)));
    }
    if (!waiting_at.empty()) {
      return refuse(fmt::format("run {} waits at audit node {}, not at {}", decision.only_id,
                                fmt::join(waiting_at, ", "), decision.audit_app));
    }
    return refuse(
        fmt::format("run {} does not wait at audit node {}", decision.only_id, decision.audit_app));
  }
  out.row_id = pending->value("id", Value(0)).get<long long>();
  const std::string stored_start = text_form(pending->value("start_app", Value()));
  out.start_app = decision.start_app.value_or(stored_start);
  if (decision.status == "1" && !follows(facts.links, decision.audit_app, out.start_app)) {
    return refuse(fmt::format(
        "start_app {} does not follow audit node {} in playbook {}: continue from a node an edge "
        "of {} leads to (the run stopped before {})",
        out.start_app, decision.audit_app, decision.uuid, decision.audit_app, stored_start));
  }
  return out;
}

std::string accept_decision(Services& services, const AuditDecision& decision) {
  Database& db = *services.db;
  check_playbook(db, decision.uuid);
  DecisionFacts facts;
  facts.audit_rows =
      db.table("audit")
          .select({"id", "audit_app", "start_app", "status", "decider", "update_time"})
          .where("workflow_uuid", decision.uuid)
          .where("only_id", decision.only_id)
          .get();
  facts.links = playbook_links(db, decision.uuid);
  DecisionCheck check = check_decision(decision, facts);
  if (!check.refusal) {
    Row changes = Value::object();
    changes["status"] = decision.status == "1" ? 1 : 2;
    changes["update_time"] = Time::get_date_time(*services.clock);
    changes["decider"] = decision.user;
    // Only a row still pending changes: a concurrent decision that got there
    // first leaves nothing to update.
    if (db.table("audit").where("id", check.row_id).where("status", 0).update(changes) != 1) {
      check.refusal = fmt::format(
          "the decision for run {} at audit node {} was made already (by a decision that came at "
          "the same time)",
          decision.only_id, decision.audit_app);
    }
  }
  if (check.refusal) {
    spdlog::error("audit decision refused: {}", *check.refusal);
    throw DecisionError(*check.refusal);
  }
  return check.start_app;
}

}  // namespace vqflow
