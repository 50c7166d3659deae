#pragma once
#include <string>

#include "context/run_state.h"
#include "value/value.h"

namespace vqflow::records {

// The execution log record of one step of the run (the run's only_id, the
// given members and create_time); escapes that apps wrote in `result` are
// shown decoded, and `html` with it when `result` decoded. No I/O.
Value build_log_record(const std::string& only_id, const Value& uuid, const Value& app_uuid,
                       const Value& app_name, const Value& result, const Value& status,
                       const Value& html, const Value& args, const std::string& create_time);

// The run report {"report_no", "workflow_name", "remarks", "create_time"} of the
// run `only_id`. No I/O.
Value build_report(const std::string& only_id, const Value& workflow_name, const Value& remarks,
                   const std::string& create_time);

// The pending audit row of an audit node (status 0). No I/O.
Value build_audit(const Value& workflow_uuid, const Value& only_id, const Value& user_id,
                  const Value& audit_app, const Value& start_app, const std::string& now);

// Each builds its record at once and answers an awaitable that resumes once
// the record is committed (records of concurrent runs share transactions); a
// record that cannot be stored throws StoreError. Not coroutines themselves:
// arguments are read before the call returns, so temporaries are fine.
awaitable<void> add_execute_logs(RunState& run, const Value& uuid, const Value& app_uuid,
                                 const Value& app_name, const Value& result, const Value& status,
                                 const Value& html, const Value& args = "");
awaitable<void> add_report(RunState& run);
awaitable<void> add_audit(RunState& run, const Value& workflow_uuid, const Value& only_id,
                          const Value& user_id, const Value& audit_app, const Value& start_app);

// One failure record of the walker: status 1, html "<span>" + text + "</span>".
awaitable<void> add_failure(RunState& run, const std::string& uuid, const Value& app_uuid,
                            const Value& app_name, const std::string& text);

// Inserts one row through the services' group commit when there is one.
awaitable<void> store_record(RunState* run, std::string table, Value row);

}  // namespace vqflow::records
