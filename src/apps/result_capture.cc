#include "apps/result_capture.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "apps/app_invocation.h"
#include "apps/result_text.h"
#include "base/errors.h"
#include "records/checkpoints.h"
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

// On a walk after an interruption: the answer the earlier walk stored for this
// call of `app_uuid`, its writes staged again. A walk that takes another way
// than the earlier one calls from there on, and the checkpoints it passes go.
std::optional<NodeResult> replayed(RunState& run, const std::string& app_uuid) {
  if (run.replay.empty()) return std::nullopt;
  if (run.replay.front().node != app_uuid) {
    spdlog::warn("run {}: node {} comes where the earlier walk called {}; calling from here on",
                 run.only_id, app_uuid, run.replay.front().node);
    run.replay.clear();
    records::drop_checkpoints(*run.services()->db, run.only_id, run.checkpoints + 1);
    return std::nullopt;
  }
  NodeCheckpoint checkpoint = std::move(run.replay.front());
  run.replay.pop_front();
  ++run.checkpoints;
  for (KvWrite& write : checkpoint.writes)
    run.stage_kv(std::move(write.key), std::move(write.value));
  // Its record, written by the earlier walk, stays a failed step of this run.
  const std::string status = text_form(checkpoint.status);
  if (status == "1" || status == "2") ++run.failed_steps;
  return NodeResult{std::move(checkpoint.status), std::move(checkpoint.result)};
}

// After the call's log record: what a resumed walk needs to skip this call.
awaitable<void> checkpoint(RunState& run, const std::string& app_uuid,
                           const CapturedResult& captured) {
  return records::store_checkpoint(
      run, NodeCheckpoint{app_uuid, captured.status, captured.text, run.take_kv_journal()});
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
    if (std::optional<NodeResult> answer = replayed(*run, app_uuid)) co_return std::move(*answer);
    if (run->resumable) run->keep_kv_journal();
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
    if (run->resumable) {
      awaitable<void> kept = checkpoint(*run, app_uuid, captured);
      co_await std::move(kept);
    }
    co_return NodeResult{std::move(captured.status), std::move(captured.text)};
  }

  drop_plugin_marker(app_info);

  if (!for_play && run->kv_has(result_key)) co_return stored_pair(*run, result_key, status_key);
  if (std::optional<NodeResult> answer = replayed(*run, app_uuid)) co_return std::move(*answer);

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

  if (run->resumable) run->keep_kv_journal();
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
  if (run->resumable) {
    awaitable<void> kept = checkpoint(*run, app_uuid, captured);
    co_await std::move(kept);
  }
  co_return NodeResult{std::move(captured.status), std::move(captured.text)};
}

}  // namespace apps
}  // namespace vqflow
