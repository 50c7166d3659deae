#include "plugins/plugin_loader_manifest.h"

#include <fmt/format.h>

#include "base/errors.h"
#include "plugins/app_path.h"

namespace vqflow {

namespace {

[[noreturn]] void bad_manifest(const std::string& app_dir, const std::string& what) {
  throw AppLoadError(fmt::format("app {}: app.json: {}", printable_name(app_dir), what));
}

}  // namespace

AppManifest parse_app_manifest(std::string_view text, const std::string& app_dir) {
  Value doc;
  try {
    doc = parse_json(text);
  } catch (const JsonError& e) {
    bad_manifest(app_dir, std::string("not valid JSON: ") + e.what());
  }
  if (!doc.is_object()) bad_manifest(app_dir, "not a JSON object");

  AppManifest manifest;
  if (auto mode = doc.find("mode"); mode != doc.end()) {
    if (*mode == "persistent") {
      manifest.persistent = true;
    } else if (*mode != "one-shot") {
      bad_manifest(app_dir,
                   "\"mode\" must be \"one-shot\" or \"persistent\", not " + json_text(*mode));
    }
  }

  auto actions = doc.find("actions");
  if (actions == doc.end()) return manifest;  // an app without actions: every load fails
  if (!actions->is_object()) bad_manifest(app_dir, "\"actions\" must be an object");
  for (auto it = actions->begin(); it != actions->end(); ++it) {
    const std::string where = "actions." + printable_name(it.key());
    if (!it.value().is_object()) bad_manifest(app_dir, where + " must be an object");
    ActionSpec plan;
    if (auto args = it.value().find("args"); args != it.value().end()) {
      if (!args->is_array()) bad_manifest(app_dir, where + ".args must be a list");
      for (std::size_t i = 0; i < args->size(); ++i) {
        const Value& arg = (*args)[i];
        const std::string at = fmt::format("{}.args[{}]", where, i);
        if (!arg.is_object()) bad_manifest(app_dir, at + " must be an object");
        auto key = arg.find("key");
        if (key == arg.end() || !key->is_string() || key->get_ref<const std::string&>().empty())
          bad_manifest(app_dir, at + " needs a non-empty text \"key\"");
        ActionArg declared{key->get<std::string>(), false};
        if (auto required = arg.find("required"); required != arg.end()) {
          if (!required->is_boolean())
            bad_manifest(app_dir, at + ".required must be true or false");
          declared.required = required->get<bool>();
        }
        for (const auto& earlier : plan.args)
          if (earlier.key == declared.key)
            bad_manifest(app_dir, at + " repeats the argument " + printable_name(declared.key));
        plan.args.push_back(std::move(declared));
      }
    }
    manifest.actions[it.key()] = std::move(plan);
  }
  return manifest;
}

bool is_valid_action_name(std::string_view action) {
  return !action.empty() && action.front() != '-' && action.find('\0') == std::string_view::npos;
}

void check_arguments(const std::string& context, const ActionSpec& plan,
                     const NamedArguments& args) {
  for (const auto& [name, value] : args) {
    bool declared = false;
    for (const auto& arg : plan.args) declared = declared || arg.key == name;
    if (!declared)
      throw AppArgumentError(context, "unexpected argument " + printable_name(name), "");
  }
  for (const auto& arg : plan.args) {
    if (!arg.required) continue;
    bool given = false;
    for (const auto& [name, value] : args) given = given || name == arg.key;
    if (!given)
      throw AppArgumentError(context, "missing required argument " + printable_name(arg.key), "");
  }
}

Value arguments_object(const NamedArguments& args) {
  Value object = Value::object();
  for (const auto& [name, value] : args) object[name] = value;
  return object;
}

std::string call_context(const std::string& app_dir, const std::string& action) {
  return fmt::format("app {} action {}", printable_name(app_dir), printable_name(action));
}

std::string printable_name(const std::string& name) {
  if (!name.empty() && is_plain_app_dir(name)) return name;
  return json_text(Value(name));
}

}  // namespace vqflow
