#include <fmt/format.h>

#include <algorithm>
#include <string_view>

#include "apps/result_capture.h"
#include "base/text.h"
#include "context/node_settings.h"
#include "records/run_records.h"
#include "stores/kv_store.h"
#include "stores/kv_store_rules.h"
#include "stores/stored_values.h"
#include "walker/walker_support.h"

namespace vqflow {

namespace {

constexpr std::string_view k_audit_waiting = "剧本等待审核...";

bool contains(const std::vector<std::string>& list, const std::string& id) {
  return std::find(list.begin(), list.end(), id) != list.end();
}

bool is(const std::optional<std::string>& node, const std::string& id) {
  return node && *node == id;
}

}  // namespace

awaitable<int> walker::for_play_book(RunState* run, std::vector<std::string> paths,
                                     std::string uuid, bool for_play) {
  for (const std::string& path : paths) {
    const std::vector<std::string> nodes = split(path, "->");
    for (std::size_t i = 1; i < nodes.size(); ++i) {
      const std::string& left = nodes[i - 1];
      const std::string& right = nodes[i];
      run->check_stop();
      if (is(run->start_app, right) || is(run->start_app, left)) continue;

      // FOR first: the controller walks everything after it once per element.
      if (contains(run->for_list, left)) {
        co_await for_controller(run, left, right, uuid);
        break;
      }

      const bool is_if = contains(run->if_list, left);
      if (is_if) {
        const std::string key = run->last_result_key();
        std::optional<std::string> stored = run->read_kv(key);
        if (!stored) {
          throw WalkError(
              fmt::format("IF node {}: no app result before it in this run ({} is missing)", left,
                          kv_rules::printable_key(key)));
        }
        const std::string last_result = decode_stored_text(std::move(*stored), key);
        const std::optional<bool> go_on = co_await is_condition(run, left, uuid, last_result);
        if (go_on.has_value() && !*go_on) break;
      }

      if (contains(run->audit_list, left)) {
        std::optional<std::string> user_id = walker::read_run_value(*run, left, "text");
        if (!user_id) {
          throw WalkError(fmt::format("audit node {}: no auditor is configured ({} is missing)",
                                      left, kv_rules::printable_key(run->run_key(left, "text"))));
        }
        // The decision resumes the run from the stored state, maybe in another
        // process: send it before the audit record can be seen.
        run->kv();
        awaitable<void> stored =
            records::add_audit(*run, uuid, run->only_id, *user_id, left, right);
        co_await std::move(stored);
        const Value name = node_name(run->controller_data, left);
        awaitable<void> logged =
            records::add_execute_logs(*run, uuid, left, name, std::string(k_audit_waiting), 0,
                                      fmt::format("<span>{}</span>", k_audit_waiting));
        co_await std::move(logged);
        run->waiting_at = left;
        co_return 1;
      }
      if (is_if) continue;

      // Each app node gets node data of its own: invocation may change it.
      std::optional<Value> app_info;
      if (run->flow_data && run->flow_data->is_object()) {
        auto entry = run->flow_data->find(left);
        if (entry != run->flow_data->end()) app_info = Value(*entry);
      }
      NodeResult outcome =
          co_await apps::get_app_data(run, uuid, left, std::move(app_info), for_play);
      run->stage_kv(run->last_result_key(), std::move(outcome.result));
      if (outcome.status == 2) break;
    }
  }
  co_return 0;
}

}  // namespace vqflow
