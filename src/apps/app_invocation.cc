#include "apps/app_invocation.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <chrono>

#include "apps/invocation_rules.h"
#include "apps/reference_expansion.h"
#include "base/errors.h"
#include "plugins/app_file.h"
#include "plugins/app_loader.h"
#include "plugins/app_path.h"
#include "stores/kv_store.h"
#include "stores/kv_store_rules.h"
#include "stores/stored_values.h"

namespace vqflow::apps {

namespace {

const char* const k_timer_notice = "[通知消息] 定时器执行中...";

std::string bad_app_dir_message(const std::string& app_dir) {
  if (app_dir.empty()) return "the node names no app directory";
  return fmt::format(
      "app directory \"{}\" is not a plain folder name (letters, digits, '_', '-' and '.', not "
      "starting with '.')",
      kv_rules::printable_key(app_dir));
}

// The parsed manifest of an app; a manifest that is not JSON propagates.
std::shared_ptr<const Value> read_manifest(const Services& services, const std::string& app_dir) {
  // Checked here as well as by the loader: the manifest path must stay inside the apps folder.
  if (!is_plain_app_dir(app_dir)) throw AppLoadError(bad_app_dir_message(app_dir));
  try {
    if (services.manifests) return services.manifests->get(services.config.apps_path, app_dir);
    return std::make_shared<const Value>(
        parse_json(File::find_app_json(services.config.apps_path, app_dir)));
  } catch (const JsonError& e) {
    throw JsonError(fmt::format("app manifest of {}: {}", app_dir, e.what()));
  }
}

// The process-log line of a failed load or call. It names the node and its
// action; node data without them cannot be reported and fails the invocation.
void log_failure(const std::string& app_uuid, const Value& datas, const std::string& err) {
  if (!datas.is_object() || !datas.contains("node_name") || !datas.contains("action")) {
    throw ValueError(
        fmt::format("node {}: node data needs \"node_name\" and \"action\" ({})", app_uuid, err));
  }
  spdlog::error("{} {} {}", text_form(datas["node_name"]), text_form(datas["action"]), err);
}

}  // namespace

bool is_identification(const Services& services, const std::string& app_dir) {
  return identifies_as_ours(*read_manifest(services, app_dir));
}

std::pair<int, Value> is_public(const Services& services, const std::string& app_dir) {
  const std::shared_ptr<const Value> manifest = read_manifest(services, app_dir);
  if (declares_public(*manifest)) return {1, (*manifest)["is_public"]};
  return {0, false};
}

awaitable<Value> execute(RunState* run, std::string app_uuid, std::optional<std::string> app_dir,
                         std::optional<Value> datas_given) {
  Value datas = datas_given ? std::move(*datas_given) : Value();

  // 1. The unexpanded arguments text, with the app folder. `datas` is this
  // invocation's own copy, so the folder is written into it: it is reserved
  // and never passed as an argument.
  if (app_dir && !app_dir->empty()) {
    if (!datas.is_object()) {
      throw ValueError(fmt::format("node {}: node data is not a map", app_uuid));
    }
    datas["app_dir"] = *app_dir;
  }
  // Only failures report the unexpanded text, so it is made only for them;
  // `datas` keeps its unexpanded values until every argument has expanded.
  auto unexpanded = [&datas] { return json_text(datas); };

  // 2-3. Nodes that deliver a text instead of calling an app.
  if ((run->input_app && app_uuid == *run->input_app) ||
      (run->webhook_app && app_uuid == *run->webhook_app)) {
    const std::string key = run->run_key(app_uuid, "text");
    std::optional<std::string> text = run->read_kv(key);
    if (!text) {
      throw StoreError(fmt::format("kv GET {}: no text was delivered to node {}",
                                   kv_rules::printable_key(key), app_uuid));
    }
    co_return invocation_result(0, decode_stored_text(std::move(*text), key), unexpanded(), "");
  }
  if (run->timer_app && app_uuid == *run->timer_app) {
    co_return invocation_result(0, k_timer_notice, unexpanded(), k_timer_notice);
  }

  // 4-5. The manifest, read only from a plain folder directly under the apps folder.
  const std::string dir = app_dir.value_or("");
  if (!is_plain_app_dir(dir)) {
    const std::string message = bad_app_dir_message(dir);
    log_failure(app_uuid, datas, message);
    co_return failed_invocation("[程序错误] " + message, unexpanded());
  }
  const std::string& apps_path = run->services()->config.apps_path;
  if (!app_folder_exists(apps_path, dir)) {
    const std::string message = fmt::format("no app folder {} under {}", dir, apps_path);
    log_failure(app_uuid, datas, message);
    co_return failed_invocation("[程序错误] " + message, unexpanded());
  }
  {
    const std::shared_ptr<const Value> manifest = read_manifest(*run->services(), dir);
    if (std::optional<std::string> failure = manifest_failure(*manifest)) {
      co_return failed_invocation(*failure, unexpanded());
    }
  }

  // 6. The plug-in and its action. `datas` is this invocation's own copy, so the
  // loaded action is kept here rather than attached to it under "app".
  std::shared_ptr<AppAction> action;
  std::optional<std::string> load_failure;
  try {
    if (!datas.is_object() || !datas.contains("action")) {
      throw AppLoadError("the node data names no action");
    }
    const Value& name = datas["action"];
    if (!name.is_string()) throw AppLoadError("action name " + text_form(name) + " is not a text");
    action = run->services()->apps->load(dir, name.get<std::string>());
    if (!action) throw AppLoadError("app " + dir + " has no action " + name.get<std::string>());
  } catch (const std::exception& e) {
    log_failure(app_uuid, datas, e.what());
    load_failure = std::string("[程序错误] ") + e.what();
  }
  if (load_failure) co_return failed_invocation(*load_failure, unexpanded());

  // 7. Arguments: every member that is not reserved, expanded in stored order.
  std::vector<std::pair<std::string, Value*>> arguments = argument_members(datas);
  std::vector<std::string> names;
  std::vector<std::string> expanded_values;
  names.reserve(arguments.size());
  expanded_values.reserve(arguments.size());
  for (const auto& [name, value] : arguments) {
    names.push_back(name);
    Expansion expansion = analysis_var(*run, text_form(*value));
    run->stage_kv(run->run_key(app_uuid, name), expansion.text);
    if (expansion.status != 0) {
      co_return invocation_result(expansion.status, std::move(expansion.text), unexpanded(), "");
    }
    expanded_values.push_back(std::move(expansion.text));
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    *arguments[i].second = std::move(expanded_values[i]);
  }

  // 8. The expanded arguments text.
  const std::string expanded = json_text(datas);

  // 9. Call. The values move out of `datas`: from here on only its reserved
  // members are read.
  NamedArguments named = named_arguments(names, datas);
  Value answer;
  std::optional<std::string> call_failure;
  const auto called = std::chrono::steady_clock::now();
  try {
    CallControl control{fmt::format("{}:{}:{}", run->only_id, app_uuid, run->attempt), run->stop};
    answer = co_await action->call(std::move(named), std::move(control));
  } catch (const AppStoppedError&) {
    // The run was stopped: it ends here, not as a failed step.
    run->check_stop();
    throw;
  } catch (const std::exception& e) {
    log_failure(app_uuid, datas, e.what());
    call_failure = call_failure_text(e);
  }
  run->services()->metrics->app_call_duration.observe(
      dir, std::chrono::duration<double>(std::chrono::steady_clock::now() - called).count());
  if (call_failure) co_return failed_invocation(*call_failure, expanded);

  // 10-11. The answer must be a map with "status" and "result".
  co_return action_outcome(std::move(answer), expanded);
}

}  // namespace vqflow::apps
