#pragma once
#include <optional>
#include <string>
#include <utility>

#include "context/run_state.h"
#include "value/value.h"

namespace vqflow::apps {

// Whether the manifest of `app_dir` identifies the app as one of ours. A
// manifest that is not JSON throws JsonError.
bool is_identification(const Services& services, const std::string& app_dir);
// (1, "is_public") when the manifest declares it, else (0, false).
std::pair<int, Value> is_public(const Services& services, const std::string& app_dir);

// Invokes the node `app_uuid`: input, webhook and timer nodes deliver their
// text; app nodes load the action of `app_dir`, expand their arguments and call
// it. Answers the invocation result {"status", "result", "args", "html"}: status
// 2 with a categorised text for manifest, plug-in and app failures, status 1 for
// a reference that failed to expand.
awaitable<Value> execute(RunState* run, std::string app_uuid, std::optional<std::string> app_dir,
                         std::optional<Value> datas);

}  // namespace vqflow::apps
