#include "walker/condition_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/regex.h"

namespace vqflow::walker {
namespace {

using Answer = ConditionAnswer;

const char* name_of(Answer answer) {
  static const char* const k_names[] = {"pass", "fail", "not matched", "error"};
  return k_names[static_cast<int>(answer)];
}

struct Case {
  const char* action;
  std::string condition;
  std::string last_result;
  Answer expected;
};

TEST(CompareCondition, EveryKindAnswersWithoutAStore) {
  const std::vector<Case> cases = {
      // "1": listed items (not trimmed), "==" sides, or the whole text.
      {"1", "[ok,done]", "done", Answer::pass},
      {"1", "[ok,done]", "fail", Answer::fail},
      {"1", "[ok, done]", "done", Answer::fail},
      {"1", "[ok, done]", " done", Answer::pass},
      {"1", "[a] or [b]", "a or b", Answer::pass},  // one greedy match
      {"1", "[a,b] or [c]", "b or c", Answer::pass},
      {"1", "[]x]", "x", Answer::pass},  // every "[" and "]" of the match removed
      {"1", "[,]", "", Answer::pass},    // two empty items
      {"1", "abc==abc", "anything", Answer::pass},
      {"1", "abc==abd", "abc", Answer::fail},
      {"1", "==", "x", Answer::pass},  // two empty sides
      {"1", "a==b==c", "a==b==c", Answer::pass},
      {"1", "a==b==c", "x", Answer::fail},
      {"1", "ok", "ok", Answer::pass},
      {"1", "", "", Answer::pass},
      {"1", "[a]\n[b]", "a", Answer::pass},  // "." stops at a line feed
      {"1", "[中文,x]", "中文", Answer::pass},
      // "2": the same tests reversed, with "!=".
      {"2", "[ok,done]", "fail", Answer::pass},
      {"2", "[ok,done]", "done", Answer::fail},
      {"2", "a!=b", "x", Answer::pass},
      {"2", "a!=a", "x", Answer::fail},
      {"2", "a==b", "a==b", Answer::fail},  // "==" means nothing to kind 2
      {"2", "ok", "ko", Answer::pass},
      // "3": a search with the condition as pattern.
      {"3", R"(^2\d\d$)", "200", Answer::pass},
      {"3", R"(^2\d\d$)", "2000", Answer::fail},
      {"3", "a*", "zzz", Answer::pass},  // an empty match counts
      {"3", "", "", Answer::pass},
      {"3", R"(^\w+$)", "中文_١٢", Answer::pass},
      {"3", "a.b", "a\nb", Answer::fail},
      // "4": one member of the last result.
      {"4", "{data!>0!>name}==alice", R"({"data": [{"name": "alice"}]})", Answer::pass},
      {"4", "{data!>0!>name}!=alice", R"({"data": [{"name": "alice"}]})", Answer::fail},
      {"4", "{data!>0!>name}!=bob", R"({"data": [{"name": "alice"}]})", Answer::pass},
      {"4", "{data!>-1}==2", R"({"data": [1, 2]})", Answer::pass},
      {"4", "{n}==1", R"("{\"n\": 1}")", Answer::pass},  // doubly encoded
      {"4", "{n}==True", R"({"n": true})", Answer::pass},
      {"4", "{n}==true", R"({"n": true})", Answer::fail},
      {"4", "{z}==None", R"({"z": null})", Answer::pass},
      {"4", "{5!!!}==x", R"({"5": "x"})", Answer::pass},
      {"4", "{s!>1}==中", R"({"s": "a中b"})", Answer::pass},
      {"4", "{x!!!!>0}==1", R"({"x": [1]})", Answer::pass},  // "x!!!" is the key "x"
      {"4", "{m}==k", R"({"m": {"k": "v"}})", Answer::fail},
      {"4", "{f}==1.5", R"({"f": 1.5})", Answer::pass},
      // Any other kind.
      {"9", "anything", "x", Answer::not_matched},
      {"", "", "", Answer::not_matched},
      {" 1", "ok", "ok", Answer::not_matched},
  };
  for (const Case& c : cases) {
    const ConditionOutcome outcome = compare_condition(c.action, c.condition, c.last_result);
    EXPECT_STREQ(name_of(outcome.answer), name_of(c.expected))
        << "kind \"" << c.action << "\" condition \"" << c.condition << "\" last result \""
        << c.last_result << "\" (" << outcome.error << ")";
  }
}

struct FailureCase {
  std::string condition;
  std::string last_result;
  std::string record;  // empty: no record
  std::string error;
};

TEST(CompareCondition, MemberFailuresNameTheRecordToWrite) {
  const std::vector<FailureCase> cases = {
      {"{data!>5}==x", R"({"data": [1]})", "[解析错误] 未找到 JSON Index : data!>5", ""},
      {"{data!>k}==x", R"({"data": [1]})", "[解析错误] JSON 格式不存在 : data!>k", ""},
      {"{5}==x", R"({"5": "x"})", "[解析错误] 未找到 JSON KEY : 5", ""},
      {"{a!>b}==x", R"({"a": {"c": 1}})", "[解析错误] 未找到 JSON KEY : a!>b", ""},
      {"{a!>b}==x", R"({"a": 1})", "[解析错误] JSON 格式不存在 : a!>b", ""},
      {"{s!>9}==x", R"({"s": "ab"})", "[解析错误] 未找到 JSON Index : s!>9", ""},
      {"{s!>-3}==x", R"({"s": "ab"})", "[解析错误] 未找到 JSON Index : s!>-3", ""},
      // A single "!=" match wins, and it starts at the first "{".
      {"{a}==1 {b}!=2", R"({"a": 1, "b": 2})", "[解析错误] 未找到 JSON KEY : a==1 b", ""},
      {"{n}==1", "12", "[参数错误] 非 JSON 格式变量", ""},
      {"{n}==1", "plain words", "[参数错误] 非 JSON 格式变量", ""},
      {"{n}==1", "", "[参数错误] 非 JSON 格式变量", ""},
      {"n==1", "{}", "", R"(condition "n==1" compares no JSON member ({member}==value))"},
      {"{}==1", "{}", "", R"(condition "{}==1" compares no JSON member ({member}==value))"},
      // The expected value must start with a word character.
      {"{m}=={'k': 'v'}", R"({"m": {"k": "v"}})", "",
       R"(condition "{m}=={'k': 'v'}" compares no JSON member ({member}==value))"},
  };
  for (const FailureCase& c : cases) {
    const ConditionOutcome outcome = compare_condition("4", c.condition, c.last_result);
    EXPECT_EQ(outcome.answer, Answer::error) << c.condition << " on " << c.last_result;
    EXPECT_EQ(outcome.record, c.record) << c.condition << " on " << c.last_result;
    // The error names the record when there is one.
    EXPECT_EQ(outcome.error, c.record.empty() ? c.error : c.record) << c.condition;
  }
}

TEST(CompareCondition, PatternFailuresPropagate) {
  EXPECT_THROW(compare_condition("3", "(a", "x"), RegexError);
  EXPECT_THROW(compare_condition("3", "(a+)+$", std::string(40, 'a') + "!"), RegexError);
  // The fixed patterns are only used by their own kinds.
  EXPECT_EQ(compare_condition("9", "(a", "x").answer, Answer::not_matched);
}

TEST(CompareCondition, LongValuesAreCompared) {
  const std::string value(300000, 'x');
  EXPECT_EQ(compare_condition("4", "{a}==" + value, R"({"a": ")" + value + R"("})").answer,
            Answer::pass);
  EXPECT_EQ(compare_condition("1", "[" + value + ",y]", "y").answer, Answer::pass);
}

}  // namespace
}  // namespace vqflow::walker
