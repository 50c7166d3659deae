#include "platform/database.h"
#include "platform/utilities.h"
#include "run/auto.h"

namespace vqflow {

void Auto::add_report() {
  Value report = Value::object();
  report["report_no"] = only_id;
  report["workflow_name"] = workflow_name;
  report["remarks"] = workflow_remarks;
  report["create_time"] = Time::get_date_time();
  services_->db->table("report").insert(report);
}

void Auto::add_audit(const Value& workflow_uuid, const Value& only_id, const Value& user_id,
                     const Value& audit_app, const Value& start_app) {
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
  services_->db->table("audit").insert(audit);
}

}  // namespace vqflow
