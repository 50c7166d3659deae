#pragma once
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "plugins/app_loader.h"
#include "value/value.h"

namespace vqflow {

// One argument an action declares in app.json.
struct ActionArg {
  std::string key;
  bool required = false;
};

struct ActionSpec {
  std::vector<ActionArg> args;
};

// The parts of an app.json the loader uses. "identification" and "is_public"
// are checked by the app invocation, not here.
struct AppManifest {
  bool persistent = false;  // "mode": "persistent"
  std::map<std::string, ActionSpec> actions;
};

// Parses the text of an app.json. Throws AppLoadError("app <app_dir>: app.json: ...")
// naming the member at fault.
AppManifest parse_app_manifest(std::string_view text, const std::string& app_dir);

// Whether `action` can be passed to a plug-in as its first argument: not
// empty, no NUL byte, not starting with '-' (which would read as an option).
bool is_valid_action_name(std::string_view action);

// Checks named arguments against an action's declared ones. Throws
// AppArgumentError naming the first undeclared or missing required argument.
void check_arguments(const std::string& context, const ActionSpec& plan,
                     const NamedArguments& args);

// The JSON object of the named arguments, in their order (a repeated name
// keeps its first position and its last value).
Value arguments_object(const NamedArguments& args);

// "app <app_dir> action <action>", the context of call failures, with both
// names quoted when they hold anything unusual.
std::string call_context(const std::string& app_dir, const std::string& action);

// A name for messages: itself when plain, else its JSON text (quoted, escaped).
std::string printable_name(const std::string& name);

}  // namespace vqflow
