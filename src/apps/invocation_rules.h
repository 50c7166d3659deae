#pragma once
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "plugins/app_loader.h"
#include "value/value.h"

namespace vqflow::apps {

// The rules of one app invocation that need no store, manifest file or plug-in.

// Members of the node data that are never arguments.
bool is_reserved_key(std::string_view key);

// The members of the node data that are arguments (every one not reserved), in
// stored order, with a pointer to each value; none when `datas` is not a map.
// The pointers stay valid while no member is added to or removed from `datas`.
std::vector<std::pair<std::string, Value*>> argument_members(Value& datas);

// The named arguments of the call, from the expanded node data. The argument
// names are joined, each after a ",", and split again at every ","
// (the first "," dropped): a name that holds "," falls apart, and only pieces
// that are members of `datas` are passed, each once, with the text form of the
// member's value. Text values are moved out of `datas`.
NamedArguments named_arguments(const std::vector<std::string>& names, Value& datas);

// Invocation result {"status", "result", "args", "html"}.
Value invocation_result(Value status, Value result, std::string args, Value html);
// A status-2 invocation result: `text` in "result" and "html".
Value failed_invocation(const std::string& text, std::string args);

// The manifest checks, in order: "[配置错误] 请配置 is_identification" unless the
// manifest is a map whose "identification" is "vqflow", then "[配置错误] 请配置
// is_public" unless it has "is_public". Absent when both pass.
bool identifies_as_ours(const Value& manifest);
bool declares_public(const Value& manifest);
std::optional<std::string> manifest_failure(const Value& manifest);

// The text of a failed action call: "[非法应用] " + message for AppArgumentError
// (refused arguments or types), "[未知错误] " + message for anything else.
std::string call_failure_text(const std::exception& error);

// What an action answered, as the invocation result with the expanded
// arguments text `args`: it must be a map with "status" ("[返回错误] 请检测 status
// 返回字段" otherwise) and "result" ("[返回错误] 请检测 result 返回字段"); "html" is
// "" when it has none.
Value action_outcome(Value answer, std::string args);

}  // namespace vqflow::apps
