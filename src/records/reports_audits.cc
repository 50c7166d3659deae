#include "platform/database.h"
#include "platform/utilities.h"
#include "run/auto.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

awaitable<void> Auto::store_record(std::string table, Value row) {
  if (services_->records) {
    co_await services_->records->store(std::move(table), std::move(row));
  } else {
    services_->db->table(std::move(table)).insert(row);
  }
}

awaitable<void> Auto::add_report() {
  Value report = Value::object();
  report["report_no"] = only_id;
  report["workflow_name"] = workflow_name;
  report["remarks"] = workflow_remarks;
  report["create_time"] = Time::get_date_time();
  return store_record("report", std::move(report));
}

awaitable<void> Auto::add_audit(const Value& workflow_uuid, const Value& only_id,
                                const Value& user_id, const Value& audit_app,
                                const Value& start_app) {
  const std::string now = Time::get_date_time();
  Value audit = Value::object();
  audit["workflow_uuid"] = workflow_uuid;
  audit["only_id"] = only_id;
  audit["user_id"] = user_id;
  audit["audit_app"] = audit_app;
  audit["start_app"] = start_app;
  audit["status"] = 0;
  audit["update_time"] = now;
  audit["create_time"] = now;
  return store_record("audit", std::move(audit));
}

}  // namespace vqflow
