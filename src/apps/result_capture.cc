#include "apps/result_capture.h"

#include <fmt/format.h>

#include "apps/app_invocation.h"
#include "apps/result_text.h"
#include "base/errors.h"
#include "records/run_records.h"
#include "stores/kv_store.h"
#include "stores/kv_store_rules.h"
#include "stores/stored_values.h"

namespace vqflow {

namespace apps {
namespace {

// The pair a node left in this run. Both keys must be there and the status must
// read as an integer.
NodeResult stored_pair(RunState& run, const std::string& result_key,
                       const std::string& status_key) {
  std::optional<std::string> status = run.read_kv(status_key);
  if (!status) {
    throw StoreError(fmt::format("kv GET {}: the node's status is missing",
                                 kv_rules::printable_key(status_key)));
  }
  std::optional<long long> number = parse_integer(*status);
  if (!number) {
    throw ValueError(fmt::format("kv GET {}: stored status \"{}\" is not an integer",
                                 kv_rules::printable_key(status_key),
                                 kv_rules::printable_key(*status)));
  }
  std::optional<std::string> result = run.read_kv(result_key);
  if (!result) {
    throw StoreError(fmt::format("kv GET {}: the node's result has expired",
                                 kv_rules::printable_key(result_key)));
  }
  return {Value(*number), decode_stored_text(std::move(*result), result_key)};
}

bool is(const std::optional<std::string>& node, const std::string& id) {
  return node && *node == id;
}

}  // namespace

awaitable<NodeResult> get_app_data(RunState* run, std::string uuid, std::string app_uuid,
                                   std::optional<Value> app_info, bool for_play) {
  std::string result_key = run->run_key(app_uuid, "result");
  std::string status_key = run->run_key(app_uuid, "status");

  // Input, webhook and timer nodes run once per run, whatever for_play says.
  if (is(run->input_app, app_uuid) || is(run->webhook_app, app_uuid) ||
      is(run->timer_app, app_uuid)) {
    if (run->kv_has(result_key)) co_return stored_pair(*run, result_key, status_key);
    Value outcome = co_await execute(run, app_uuid, std::nullopt, std::nullopt);
    CapturedResult captured = capture_delivered_result(outcome);
    run->stage_kv(result_key, captured.text);
    run->stage_kv(status_key, stored_bytes(captured.status, status_key));
    const char* name = is(run->input_app, app_uuid)     ? "用户输入"
                       : is(run->webhook_app, app_uuid) ? "WebHook"
                                                        : "定时器";
    awaitable<void> stored = records::add_execute_logs(*run, uuid, app_uuid, name, captured.text,
                                                       captured.status, captured.html);
    co_await std::move(stored);
    co_return NodeResult{std::move(captured.status), std::move(captured.text)};
  }

  drop_plugin_marker(app_info);

  if (!for_play && run->kv_has(result_key)) co_return stored_pair(*run, result_key, status_key);

  if (!app_info || !app_info->is_object() || !app_info->contains("app_dir") ||
      !app_info->contains("data")) {
    throw ValueError(
        fmt::format("app node {}: the flow data has no entry with \"app_dir\" and "
                    "\"data\" for it",
                    app_uuid));
  }
  const Value& dir_value = (*app_info)["app_dir"];
  std::optional<std::string> app_dir;
  if (!dir_value.is_null()) app_dir = text_form(dir_value);
  // The node data itself goes to the invocation; its name is kept for the record.
  Value& data = (*app_info)["data"];
  std::optional<Value> node_name;
  if (data.is_object()) {
    auto found = data.find("node_name");
    if (found != data.end()) node_name = *found;
  }

  Value outcome = co_await execute(run, app_uuid, app_dir, std::move(data));
  CapturedResult captured = capture_app_result(outcome);
  std::string status_text = stored_bytes(captured.status, status_key);
  run->stage_kv(std::move(result_key), captured.text);
  run->stage_kv(std::move(status_key), std::move(status_text));
  if (!node_name) {
    throw ValueError(fmt::format("app node {}: node data has no \"node_name\"", app_uuid));
  }
  awaitable<void> stored =
      records::add_execute_logs(*run, uuid, app_uuid, *node_name, captured.text, captured.status,
                                captured.html, outcome["args"]);
  co_await std::move(stored);
  co_return NodeResult{std::move(captured.status), std::move(captured.text)};
}

}  // namespace apps
}  // namespace vqflow
