#include "run/auto.h"

namespace vqflow {

void Auto::end_run(int run_status, const std::string& uuid) {
  if (run_status == 1) {
    // Waiting for an audit decision: the resumed run writes the end record.
    decr_sum(uuid);
    return;
  }
  try {
    add_execute_logs(uuid, end_app ? Value(*end_app) : Value(), "结束", "剧本执行结束", 0,
                     "<span>剧本执行结束</span>");
    add_report();
  } catch (...) {
    // A failed record must not leave the run counted as in progress for ever.
    decr_sum(uuid);
    throw;
  }
  decr_sum(uuid);
}

void Auto::decr_sum(const std::string& uuid) {
  auto& kv = *services_->kv;
  if (kv.decr("exec_sum") < 0) kv.set("exec_sum", "0");
  const std::string per_playbook = uuid + "&&exec_sum";
  if (kv.decr(per_playbook) < 0) kv.set(per_playbook, "0");
}

}  // namespace vqflow
