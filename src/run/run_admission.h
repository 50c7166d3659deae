#pragma once
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "context/services.h"
#include "value/value.h"

namespace vqflow {

// A run request that names no stored playbook (HTTP 404).
class PlaybookMissingError : public Error {
 public:
  using Error::Error;
};

// A run request for a playbook that is disabled (HTTP 409).
class PlaybookDisabledError : public Error {
 public:
  using Error::Error;
};

// An audit decision that is not accepted: the run does not wait at that node,
// the decision was made already, or the node to continue from does not follow
// the audit node (HTTP 409). Nothing was written.
class DecisionError : public Error {
 public:
  using Error::Error;
};

// Throws PlaybookMissingError ("no playbook with uuid X") or
// PlaybookDisabledError unless the playbook is stored and enabled; StoreError
// when the store fails.
void check_playbook(Database& db, const std::string& uuid);

// One audit decision as a request carries it.
struct AuditDecision {
  std::string uuid;     // the playbook
  std::string only_id;  // the waiting run
  std::string audit_app;
  std::string status;  // "1" approve, "2" reject (text form of the request's value)
  std::string user;    // who decided, as the platform names them
  std::optional<std::string> start_app;  // approvals: the node to continue from
};

// What the stores say about one decision: the audit rows of the run (every
// node, every status), and the playbook's link table.
struct DecisionFacts {
  std::vector<Row> audit_rows;  // id, audit_app, start_app, status, decider, update_time
  Value links;                  // [[source, target], ...]
};

// Why `decision` cannot be accepted, given the facts; absent when it can. On
// acceptance `row_id` is the pending row it decides and `start_app` the node
// an approval continues from (the row's own when the decision names none).
// No I/O.
struct DecisionCheck {
  std::optional<std::string> refusal;
  long long row_id = 0;
  std::string start_app;
};
DecisionCheck check_decision(const AuditDecision& decision, const DecisionFacts& facts);

// Accepts the decision once: checks it against the stores and marks its audit
// row decided (status 1 approved or 2 rejected, update_time, decider) with one
// conditional update, so that of two concurrent decisions only one passes.
// Answers the node an approval continues from. Throws DecisionError (after one
// process-log line) when it is refused, PlaybookMissingError or
// PlaybookDisabledError for the playbook, StoreError when a store fails.
std::string accept_decision(Services& services, const AuditDecision& decision);

}  // namespace vqflow
