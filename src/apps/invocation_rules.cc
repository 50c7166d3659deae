#include "apps/invocation_rules.h"

#include <algorithm>
#include <array>

#include "base/errors.h"
#include "base/text.h"

namespace vqflow::apps {

namespace {

constexpr std::array<std::string_view, 6> k_reserved_keys = {
    "node_name", "action", "app", "action_name", "description", "app_dir"};

}  // namespace

bool is_reserved_key(std::string_view key) {
  return std::find(k_reserved_keys.begin(), k_reserved_keys.end(), key) != k_reserved_keys.end();
}

std::vector<std::pair<std::string, Value*>> argument_members(Value& datas) {
  std::vector<std::pair<std::string, Value*>> out;
  if (!datas.is_object()) return out;
  for (auto it = datas.begin(); it != datas.end(); ++it) {
    if (!is_reserved_key(it.key())) out.emplace_back(it.key(), &it.value());
  }
  return out;
}

NamedArguments named_arguments(const std::vector<std::string>& names, Value& datas) {
  std::string list;
  for (const std::string& name : names) {
    list += ",";
    list += name;
  }
  NamedArguments named;
  if (!datas.is_object()) return named;
  const std::string_view joined =
      list.empty() ? std::string_view() : std::string_view(list).substr(1);
  for (std::string& piece : split(joined, ",")) {
    auto member = datas.find(piece);
    if (member == datas.end()) continue;
    const bool passed = std::any_of(named.begin(), named.end(),
                                    [&piece](const auto& arg) { return arg.first == piece; });
    if (passed) continue;
    named.emplace_back(std::move(piece), member->is_string()
                                             ? std::move(member->get_ref<std::string&>())
                                             : text_form(*member));
  }
  return named;
}

Value invocation_result(Value status, Value result, std::string args, Value html) {
  Value out = Value::object();
  out.get_ref<Value::object_t&>().reserve(4);
  out["status"] = std::move(status);
  out["result"] = std::move(result);
  out["args"] = std::move(args);
  out["html"] = std::move(html);
  return out;
}

Value failed_invocation(const std::string& text, std::string args) {
  return invocation_result(2, text, std::move(args), text);
}

bool identifies_as_ours(const Value& manifest) {
  return manifest.is_object() && manifest.contains("identification") &&
         manifest["identification"] == "vqflow";
}

bool declares_public(const Value& manifest) {
  return manifest.is_object() && manifest.contains("is_public");
}

std::optional<std::string> manifest_failure(const Value& manifest) {
  if (!identifies_as_ours(manifest)) return "[配置错误] 请配置 is_identification";
  if (!declares_public(manifest)) return "[配置错误] 请配置 is_public";
  return std::nullopt;
}

std::string call_failure_text(const std::exception& error) {
  const char* category =
      dynamic_cast<const AppArgumentError*>(&error) != nullptr ? "[非法应用] " : "[未知错误] ";
  return category + std::string(error.what());
}

Value action_outcome(Value answer, std::string args) {
  if (!answer.is_object() || !answer.contains("status")) {
    return failed_invocation("[返回错误] 请检测 status 返回字段", std::move(args));
  }
  if (!answer.contains("result")) {
    return failed_invocation("[返回错误] 请检测 result 返回字段", std::move(args));
  }
  Value html = answer.contains("html") ? std::move(answer["html"]) : Value("");
  return invocation_result(std::move(answer["status"]), std::move(answer["result"]),
                           std::move(args), std::move(html));
}

}  // namespace vqflow::apps
