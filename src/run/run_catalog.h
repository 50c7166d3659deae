#pragma once
#include <optional>
#include <set>
#include <string>

#include "stores/database.h"
#include "value/value.h"

namespace vqflow {

// The stored playbooks, in store order: an array of {"uuid", "name", "remarks",
// "status", "start_app", "end_app"} (a column the row lacks is null). Throws
// StoreError when the store fails.
Value list_playbooks(Database& db);

// The audit nodes waiting for a decision (audit rows with status 0), oldest
// first: an array of {"uuid", "playbook" (its name, null when the playbook is
// gone), "only_id", "audit_app", "approver" (user_id), "waiting_since"
// (create_time)}. Throws StoreError when the store fails.
Value list_pending_audits(Database& db);

// One stored playbook as a client draws it: the columns of its workflow row,
// the documents (flow_json, flow_data, controller_data, local_var_data) as
// JSON when they parse (else their text), the id lists (for_list, if_list,
// audit_list) as arrays, and "findings": what the checks of `vqflow validate`
// find in it (finding_json objects naming the node). Absent when no playbook
// has the uuid. Throws StoreError when the store fails.
std::optional<Value> playbook_detail(Database& db, const std::string& uuid);

// Keys of the store's global variables that runs see (status 0).
std::set<std::string> stored_global_names(Database& db);

}  // namespace vqflow
