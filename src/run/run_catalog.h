#pragma once
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

}  // namespace vqflow
