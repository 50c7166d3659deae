#include "apps/invocation_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"

namespace vqflow::apps {
namespace {

std::vector<std::string> names_of(Value& datas) {
  std::vector<std::string> out;
  for (const auto& [name, value] : argument_members(datas)) out.push_back(name);
  return out;
}

TEST(ArgumentMembers, EveryMemberButTheReservedOnesInStoredOrder) {
  Value datas = parse_json(R"({"node_name": "n", "b": 1, "action": "run", "app": "x",
                               "action_name": "a", "a": "2", "description": "d", "app_dir": "d",
                               "": "empty name", "App": "case counts"})");
  EXPECT_EQ(names_of(datas), (std::vector<std::string>{"b", "a", "", "App"}));
  // The pointers reach the members themselves.
  for (const auto& [name, value] : argument_members(datas)) *value = "set " + name;
  EXPECT_EQ(datas["b"], "set b");
  EXPECT_EQ(datas["node_name"], "n");

  for (Value none : {Value(), Value("text"), Value::array({"a"}), Value::object()}) {
    EXPECT_TRUE(argument_members(none).empty()) << none.dump();
  }
  EXPECT_TRUE(is_reserved_key("app_dir"));
  EXPECT_FALSE(is_reserved_key("app_di"));
}

TEST(NamedArguments, ArgumentListIsSplitAtEveryComma) {
  struct Case {
    const char* name;
    std::string datas;
    std::vector<std::string> names;
    NamedArguments expected;
  };
  const std::vector<Case> cases = {
      {"none", R"({"node_name": "n"})", {}, {}},
      {"in order, values in text form",
       R"({"b": "x", "a": 5, "c": true, "d": ["a", "b"]})",
       {"b", "a", "c", "d"},
       {{"b", "x"}, {"a", "5"}, {"c", "True"}, {"d", "['a', 'b']"}}},
      {"a name holding a comma falls apart",
       R"({"x,y": "v", "z": "w"})",
       {"x,y", "z"},
       {{"z", "w"}}},
      {"pieces that are members are passed",
       R"({"a,b": "v", "a": "1", "b": "2"})",
       {"a,b", "a", "b"},
       {{"a", "1"}, {"b", "2"}}},
      {"a piece may name a reserved member",
       R"({"x,node_name": "v", "node_name": "n"})",
       {"x,node_name"},
       {{"node_name", "n"}}},
      {"the empty name", R"({"": "e"})", {""}, {{"", "e"}}},
      {"a trailing comma gives an empty piece",
       R"({"a,": "v", "": "e", "a": "1"})",
       {"a,", "a"},
       {{"a", "1"}, {"", "e"}}},
  };
  for (const Case& c : cases) {
    Value datas = parse_json(c.datas);
    EXPECT_EQ(named_arguments(c.names, datas), c.expected) << c.name;
  }
  Value not_a_map("text");
  EXPECT_TRUE(named_arguments({"a"}, not_a_map).empty());
}

TEST(ActionOutcome, AnswerMustBeAMapWithStatusAndResult) {
  struct Case {
    std::string answer;
    std::string expected;
  };
  const std::string args = R"({"a": "1"})";
  const std::vector<Case> cases = {
      {R"({"status": 0, "result": "ok"})",
       R"({"status": 0, "result": "ok", "args": "{\"a\": \"1\"}", "html": ""})"},
      {R"({"result": {"k": [1]}, "html": "<b>ok</b>", "status": 7, "extra": 1})",
       R"({"status": 7, "result": {"k": [1]}, "args": "{\"a\": \"1\"}", "html": "<b>ok</b>"})"},
      {R"({"status": "0", "result": null, "html": null})",
       R"({"status": "0", "result": null, "args": "{\"a\": \"1\"}", "html": null})"},
      {R"({"result": "ok"})",
       R"({"status": 2, "result": "[返回错误] 请检测 status 返回字段", "args": "{\"a\": \"1\"}",)"
       R"( "html": "[返回错误] 请检测 status 返回字段"})"},
      {R"({})",
       R"({"status": 2, "result": "[返回错误] 请检测 status 返回字段", "args": "{\"a\": \"1\"}",)"
       R"( "html": "[返回错误] 请检测 status 返回字段"})"},
      {R"({"status": 0})",
       R"({"status": 2, "result": "[返回错误] 请检测 result 返回字段", "args": "{\"a\": \"1\"}",)"
       R"( "html": "[返回错误] 请检测 result 返回字段"})"},
      {R"(["status", "result"])",
       R"({"status": 2, "result": "[返回错误] 请检测 status 返回字段", "args": "{\"a\": \"1\"}",)"
       R"( "html": "[返回错误] 请检测 status 返回字段"})"},
      {R"("ok")",
       R"({"status": 2, "result": "[返回错误] 请检测 status 返回字段", "args": "{\"a\": \"1\"}",)"
       R"( "html": "[返回错误] 请检测 status 返回字段"})"},
  };
  for (const Case& c : cases) {
    const Value outcome = action_outcome(parse_json(c.answer), args);
    EXPECT_EQ(json_text(outcome, false), c.expected) << c.answer;
  }
}

TEST(ManifestFailure, IdentificationFirstThenIsPublic) {
  struct Case {
    std::string manifest;
    std::optional<std::string> failure;
  };
  const std::string not_ours = "[配置错误] 请配置 is_identification";
  const std::string not_public = "[配置错误] 请配置 is_public";
  const std::vector<Case> cases = {
      {R"({"identification": "vqflow", "is_public": false})", std::nullopt},
      {R"({"identification": "vqflow", "is_public": null})", std::nullopt},
      {R"({"identification": "vqflow"})", not_public},
      {R"({"identification": "other", "is_public": true})", not_ours},
      {R"({"identification": ["vqflow"]})", not_ours},
      {R"({"is_public": true})", not_ours},
      {R"(["identification", "is_public"])", not_ours},
      {R"("vqflow")", not_ours},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(manifest_failure(parse_json(c.manifest)), c.failure) << c.manifest;
  }
}

TEST(CallFailureText, ArgumentFailuresAreIllegalEverythingElseUnknown) {
  EXPECT_EQ(call_failure_text(AppArgumentError("unexpected argument 'ip'")),
            "[非法应用] unexpected argument 'ip'");
  EXPECT_EQ(call_failure_text(AppCallError("exit status 3")), "[未知错误] exit status 3");
  EXPECT_EQ(call_failure_text(std::runtime_error("boom")), "[未知错误] boom");
  // The context goes to the process log; the record shows the app's words.
  EXPECT_EQ(call_failure_text(AppArgumentError("app a action b", "count must be an integer", "")),
            "[非法应用] count must be an integer");
  EXPECT_EQ(call_failure_text(AppCallError("app a action b", "disk full", "exit status 3")),
            "[未知错误] disk full (exit status 3)");
}

TEST(InvocationResult, MembersInOrderAndFailuresRepeatTheirText) {
  EXPECT_EQ(json_text(invocation_result(1, "未找到全局变量", "null", "")),
            R"({"status": 1, "result": "\u672a\u627e\u5230\u5168\u5c40\u53d8\u91cf", )"
            R"("args": "null", "html": ""})");
  EXPECT_EQ(
      failed_invocation("[程序错误] x", "{}"),
      (Value{{"status", 2}, {"result", "[程序错误] x"}, {"args", "{}"}, {"html", "[程序错误] x"}}));
}

}  // namespace
}  // namespace vqflow::apps
