#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "plugins/app_loader.h"

namespace vqflow {

// Apps compiled into the server: no folder, no process. They behave like
// plug-ins: a manifest with "identification", "is_public" and declared
// actions, the same argument checks, results {"status", "result"}.
//   vq_noop  run                              -> "ok"
//   vq_text  upper, lower, strip, replace, split, length, regex_match
//   vq_json  pick, build

// The app.json text of the built-in app `app_dir`, absent for any other name.
// The manifest lookup of the app invocation answers with it for built-ins.
std::optional<std::string> builtin_app_manifest(const std::string& app_dir);

// True when `app_dir` names a built-in app (cheaper than asking for its manifest).
bool is_builtin_app(const std::string& app_dir);

// Names of the built-in apps.
std::vector<std::string> builtin_app_names();

// The action of a built-in app; absent when `app_dir` names no built-in app.
// Throws AppLoadError when the app has no such action.
std::shared_ptr<AppAction> load_builtin_action(const std::string& app_dir,
                                               const std::string& action);

}  // namespace vqflow
