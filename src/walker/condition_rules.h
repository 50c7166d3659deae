#pragma once
#include <string>
#include <string_view>

namespace vqflow::walker {

// What the comparison of an IF node answers: the path goes on (pass), it is
// left (fail), no comparison kind matched (not_matched, the path goes on as for
// pass), or the walk ends (error).
enum class ConditionAnswer { pass, fail, not_matched, error };

struct ConditionOutcome {
  ConditionAnswer answer = ConditionAnswer::not_matched;
  // error only: the text of the failure record to write ("[参数错误] 非 JSON
  // 格式变量", "[解析错误] ..."); empty when the failure writes no record.
  std::string record;
  // error only: what went wrong, for the error that ends the walk (the record
  // text when there is one).
  std::string error;
};

// Compares the last app result with the expanded condition text by the
// comparison kind `action`: "1" equal (listed items, "==" sides or the whole
// text), "2" not equal ("!="), "3" the condition as a regular expression found
// in the last result, "4" one JSON member of the last result ("{a!>0}==v" or
// "!="); any other kind is not matched. No I/O. Throws RegexError for a kind "3"
// pattern that does not compile, or for any match that hits its limit.
ConditionOutcome compare_condition(std::string_view action, const std::string& condition,
                                   const std::string& last_result);

}  // namespace vqflow::walker
