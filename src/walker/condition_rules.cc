#include "walker/condition_rules.h"

#include <fmt/format.h>

#include <optional>
#include <vector>

#include "apps/reference_expansion.h"
#include "base/regex.h"
#include "base/text.h"
#include "value/member_path.h"
#include "value/value.h"

namespace vqflow::walker {

namespace {

// The fixed patterns of condition texts, compiled once. Their greedy ".*" walks
// back over a long expanded value one character at a time, so they get a match
// limit far above that of user patterns; it only stops hostile texts.
constexpr RegexLimits k_fixed_limits{20'000'000, 10'000, 64 * 1024};

const Regex& item_list_pattern() {
  static const Regex pattern(R"(\[\w*.+\])", k_fixed_limits);
  return pattern;
}
const Regex& member_differs_pattern() {
  static const Regex pattern(R"(\{\w.*\}!=\w.*)", k_fixed_limits);
  return pattern;
}
const Regex& member_equals_pattern() {
  static const Regex pattern(R"(\{\w.*\}==\w.*)", k_fixed_limits);
  return pattern;
}

ConditionOutcome answer(bool pass) {
  return {pass ? ConditionAnswer::pass : ConditionAnswer::fail, {}, {}};
}

ConditionOutcome failure(std::string record, std::string error) {
  return {ConditionAnswer::error, std::move(record), std::move(error)};
}

ConditionOutcome failure_with_record(const std::string& record) { return failure(record, record); }

// Kinds "1" and "2": is the last result one of the listed items, are both sides
// of `op` equal, or is the whole text the last result?
bool equal_test(const std::string& condition, const std::string& last_result, std::string_view op) {
  const std::vector<std::string> lists = item_list_pattern().find_all(condition);
  if (!lists.empty()) {
    for (const std::string& item : split(without_bytes(lists.front(), "[]"), ",")) {
      if (item == last_result) return true;
    }
    return false;
  }
  const std::vector<std::string> sides = split(condition, op);
  if (sides.size() == 2) return sides[0] == sides[1];
  return condition == last_result;
}

// Kind "4": the member named before the operator compared with the value after it.
ConditionOutcome member_test(const std::string& condition, const std::string& last_result) {
  const std::vector<std::string> differs = member_differs_pattern().find_all(condition);
  std::vector<std::string> parts;
  bool difference = false;
  if (differs.size() == 1) {
    difference = true;
    parts = split(differs.front(), "!=");
  } else {
    const std::vector<std::string> equals = member_equals_pattern().find_all(condition);
    if (equals.empty()) {
      return failure({}, fmt::format("condition \"{}\" compares no JSON member ({{member}}==value)",
                                     condition));
    }
    parts = split(equals.front(), "==");
  }
  const std::string member_path = without_bytes(parts[0], "{}");
  const std::string& expected = parts[1];

  const std::optional<Value> value = stored_json_document(last_result);
  if (!value) return failure_with_record("[参数错误] 非 JSON 格式变量");

  std::vector<PathStep> steps;
  for (const std::string& step : split(member_path, "!>")) steps.push_back(bang_path_step(step));
  PathOutcome reached = walk_member_path(*value, steps);
  switch (reached.fault) {
    case PathFault::none:
      break;
    case PathFault::no_index:
      return failure_with_record("[解析错误] 未找到 JSON Index : " + member_path);
    case PathFault::no_key:
      return failure_with_record("[解析错误] 未找到 JSON KEY : " + member_path);
    case PathFault::not_addressable:
      return failure_with_record("[解析错误] JSON 格式不存在 : " + member_path);
  }
  const bool same = text_form(*reached.value) == expected;
  return answer(difference ? !same : same);
}

}  // namespace

ConditionOutcome compare_condition(std::string_view action, const std::string& condition,
                                   const std::string& last_result) {
  if (action == "1") return answer(equal_test(condition, last_result, "=="));
  if (action == "2") return answer(!equal_test(condition, last_result, "!="));
  if (action == "3") return answer(Regex(condition).search(last_result));
  if (action == "4") return member_test(condition, last_result);
  return {};
}

}  // namespace vqflow::walker
