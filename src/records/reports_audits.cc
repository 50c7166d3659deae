#include "base/utilities.h"
#include "records/run_records.h"
#include "stores/database.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow::records {

awaitable<void> store_record(RunState* run, std::string table, Value row) {
  const std::shared_ptr<Services>& services = run->services();
  // The runs and checkpoints tables hold the run's state, not its records.
  const bool is_record = table != "runs" && table != "checkpoints";
  if (services->records) {
    co_await services->records->store(std::move(table), std::move(row));
  } else {
    services->db->table(std::move(table)).insert(row);
  }
  if (is_record) services->metrics->records_written.add();
}

Value build_report(const std::string& only_id, const Value& workflow_name, const Value& remarks,
                   const std::string& create_time) {
  Value report = Value::object();
  report["report_no"] = only_id;
  report["workflow_name"] = workflow_name;
  report["remarks"] = remarks;
  report["create_time"] = create_time;
  return report;
}

Value build_audit(const Value& workflow_uuid, const Value& only_id, const Value& user_id,
                  const Value& audit_app, const Value& start_app, const std::string& now) {
  Value audit = Value::object();
  audit["workflow_uuid"] = workflow_uuid;
  audit["only_id"] = only_id;
  audit["user_id"] = user_id;
  audit["audit_app"] = audit_app;
  audit["start_app"] = start_app;
  audit["status"] = 0;
  audit["update_time"] = now;
  audit["create_time"] = now;
  return audit;
}

awaitable<void> add_report(RunState& run) {
  return store_record(&run, "report",
                      build_report(run.only_id, run.workflow_name, run.workflow_remarks,
                                   Time::get_date_time(*run.services()->clock)));
}

awaitable<void> add_audit(RunState& run, const Value& workflow_uuid, const Value& only_id,
                          const Value& user_id, const Value& audit_app, const Value& start_app) {
  return store_record(&run, "audit",
                      build_audit(workflow_uuid, only_id, user_id, audit_app, start_app,
                                  Time::get_date_time(*run.services()->clock)));
}

}  // namespace vqflow::records
