#include <fmt/format.h>

#include "apps/result_text.h"
#include "stores/stored_values.h"
#include "base/errors.h"
#include "stores/kv_store.h"
#include "stores/kv_store_rules.h"
#include "apps/app_invocation.h"
#include "apps/result_capture.h"
#include "records/run_records.h"

namespace vqflow {

std::string result_text(const Value& result, bool ensure_ascii) {
  return is_json(result) ? json_text(result, ensure_ascii) : text_form(result);
}

namespace apps {
namespace {

// The pair a node left in this run. Both keys must be there and the status must
// read as an integer.
NodeResult stored_pair(RunState& run, const std::string& result_key, const std::string& status_key) {
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
  if (is(run->input_app, app_uuid) || is(run->webhook_app, app_uuid) || is(run->timer_app, app_uuid)) {
    if (run->kv_has(result_key)) co_return stored_pair(*run, result_key, status_key);
    Value outcome = co_await execute(run, app_uuid, std::nullopt, std::nullopt);
    std::string text = result_text(outcome["result"], false);
    run->stage_kv(result_key, text);
    run->stage_kv(status_key, stored_bytes(outcome["status"], status_key));
    const char* name = is(run->input_app, app_uuid)     ? "用户输入"
                       : is(run->webhook_app, app_uuid) ? "WebHook"
                                                   : "定时器";
    awaitable<void> stored =
        records::add_execute_logs(*run, uuid, app_uuid, name, text, outcome["status"], text);
    co_await std::move(stored);
    co_return NodeResult{outcome["status"], std::move(text)};
  }

  // A plug-in marker left in the node data by an earlier invocation goes first.
  try {
    Value& data = app_info.value().at("data");
    if (data.is_object() && data.contains("app") && is_truthy(data["app"])) data.erase("app");
  } catch (const std::exception&) {
  }

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
  std::string text = result_text(outcome["result"], true);
  std::string status_text = stored_bytes(outcome["status"], status_key);
  run->stage_kv(std::move(result_key), text);
  run->stage_kv(std::move(status_key), std::move(status_text));
  const Value& html = outcome["html"];
  const bool no_html = html.is_string() ? html.get_ref<const std::string&>().empty()
                                        : text_form(html).empty();
  const Value logged_html = no_html ? Value(text) : html;
  if (!node_name) {
    throw ValueError(fmt::format("app node {}: node data has no \"node_name\"", app_uuid));
  }
  awaitable<void> stored = records::add_execute_logs(*run, uuid, app_uuid, *node_name, text,
                                                     outcome["status"], logged_html, outcome["args"]);
  co_await std::move(stored);
  co_return NodeResult{outcome["status"], std::move(text)};
}

}  // namespace apps
}  // namespace vqflow
