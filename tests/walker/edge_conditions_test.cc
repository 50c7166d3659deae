#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/regex.h"
#include "walker/walker_fixture.h"
#include "walker/walker_support.h"

namespace vqflow::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class EdgeConditions : public WalkerTest {
 protected:
  std::optional<bool> check(const std::string& action, const std::string& text,
                            const std::string& last_result) {
    services_->kv->set(engine_->run_key("k", "action"), action, 3600);
    services_->kv->set(engine_->run_key("k", "text"), text, 3600);
    return run_sync(engine_->is_condition("k", "book-1", last_result));
  }
};

TEST_F(EdgeConditions, ComparisonKinds) {
  struct Case {
    const char* action;
    const char* text;
    std::string last_result;
    std::optional<bool> expected;
  };
  const std::vector<Case> cases = {
      {"1", "[ok,done]", "done", true},
      {"1", "[ok,done]", "fail", false},
      {"1", "[ok, done]", "done", false},   // items keep their blanks
      {"1", "[a] or [b]", "a or b", true},  // one greedy match
      {"1", "[a,b] or [c]", "b or c", true},
      {"1", "abc==abc", "whatever", true},
      {"1", "abc==abd", "abc", false},
      {"1", "ok", "ok", true},
      {"1", "ok", "ok ", false},
      {"1", "a==b==c", "a==b==c", true},  // three parts: the whole text
      {"1", "[a]\n[b]", "a", true},       // "." stops at a line feed
      {"1", "[a]\r[b]", "a", false},      // ... and only there
      {"1", "[中文,x]", "中文", true},
      {"2", "[ok,done]", "fail", true},
      {"2", "[ok,done]", "ok", false},
      {"2", "a!=b", "x", true},
      {"2", "a!=a", "x", false},
      {"2", "ok", "ok", false},
      {"3", R"(^2\d\d$)", "200", true},
      {"3", R"(^2\d\d$)", "2000", false},
      {"3", "a*", "zzz", true},
      {"3", R"(^\w+$)", "中文_١٢", true},  // Unicode letters and digits are word characters
      {"3", "a.b", "a\nb", false},
      {"3", "a.b", "a\rb", true},
      {"3", "^b", "a\nb", false},
      {"4", "{data!>0!>name}==alice", R"({"data": [{"name": "alice"}]})", true},
      {"4", "{data!>0!>name}!=alice", R"({"data": [{"name": "alice"}]})", false},
      {"4", "{data!>0!>name}!=bob", R"({"data": [{"name": "alice"}]})", true},
      {"4", "{data!>-1}==2", R"({"data": [1, 2]})", true},
      {"4", "{n}==1", R"("{\"n\": 1}")", true},  // doubly encoded
      {"4", "{n}==True", R"({"n": true})", true},
      {"4", "{n}==true", R"({"n": true})", false},
      {"4", "{5!!!}==x", R"({"5": "x"})", true},
      {"4", "{s!>1}==中", R"({"s": "a中b"})", true},
      {"4", "{s!>-1}==b", R"({"s": "a中b"})", true},
      {"4", "{m}==k", R"({"m": {"k": "v"}})", false},
      {"4", "{f}==1.5", R"({"f": 1.5})", true},
      {"9", "anything", "x", std::nullopt},
      {"", "anything", "x", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(check(c.action, c.text, c.last_result), c.expected)
        << "kind " << c.action << " text " << c.text << " result " << c.last_result;
  }
  EXPECT_TRUE(logs().empty());
}

TEST_F(EdgeConditions, LongValuesAreCompared) {
  const std::string value(300000, 'x');
  EXPECT_EQ(check("4", "{a}==" + value, R"({"a": ")" + value + R"("})"), true);
  EXPECT_EQ(check("1", "[" + value + ",y]", "y"), true);
}

TEST_F(EdgeConditions, ConditionTextIsExpandedFirst) {
  engine_->global_var_data = {{"want", "ok"}};
  EXPECT_EQ(check("1", "@{want}==ok", "x"), true);
  EXPECT_EQ(check("1", "[@{want},x]", "ok"), true);
}

struct FailureCase {
  const char* name;
  const char* action;
  const char* text;
  std::string last_result;
  std::vector<std::string> records;
  const char* error;
};

TEST_F(EdgeConditions, FailuresWriteRecordsAndEndTheWalk) {
  const std::string k_condition = "[条件错误] 当前剧本不具备可执行条件 ";
  const std::vector<FailureCase> cases = {
      {"index out of range",
       "4",
       "{data!>5}==x",
       R"({"data": [1]})",
       {"[解析错误] 未找到 JSON Index : data!>5"},
       "未找到 JSON Index"},
      {"key step on a list",
       "4",
       "{data!>k}==x",
       R"({"data": [1]})",
       {"[解析错误] JSON 格式不存在 : data!>k"},
       "JSON 格式不存在"},
      {"integer step on a map",
       "4",
       "{5}==x",
       R"({"5": "x"})",
       {"[解析错误] 未找到 JSON KEY : 5"},
       "未找到 JSON KEY"},
      {"missing member",
       "4",
       "{a!>b}==x",
       R"({"a": {"c": 1}})",
       {"[解析错误] 未找到 JSON KEY : a!>b"},
       "未找到 JSON KEY"},
      {"step into a number",
       "4",
       "{a!>b}==x",
       R"({"a": 1})",
       {"[解析错误] JSON 格式不存在 : a!>b"},
       "JSON 格式不存在"},
      {"text index out of range",
       "4",
       "{s!>9}==x",
       R"({"s": "ab"})",
       {"[解析错误] 未找到 JSON Index : s!>9"},
       "未找到 JSON Index"},
      {"last result not JSON",
       "4",
       "{n}==1",
       "12",
       {"[参数错误] 非 JSON 格式变量"},
       "非 JSON 格式变量"},
      {"no member comparison", "4", "n==1", "{}", {}, "compares no JSON member"},
      {"invalid pattern", "3", "(a", "x", {}, "missing closing parenthesis"},
      {"catastrophic pattern", "3", "(a+)+$", std::string(40, 'a') + "!", {}, "backtracks"},
  };
  for (const FailureCase& c : cases) {
    services_->db->table("logs").remove();
    try {
      check(c.action, c.text, c.last_result);
      ADD_FAILURE() << c.name << ": no error";
    } catch (const Error& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.error)) << c.name;
    }
    const std::vector<Row> records = logs();
    std::vector<std::string> results;
    for (const Row& row : records) {
      results.push_back(row["result"].get<std::string>());
      EXPECT_EQ(row["uuid"], "book-1") << c.name;
      EXPECT_EQ(row["app_uuid"], "") << c.name;
      EXPECT_EQ(row["app_name"], "") << c.name;
      EXPECT_EQ(row["status"], 1) << c.name;
      EXPECT_EQ(row["html"], "<span>" + results.back() + "</span>") << c.name;
    }
    EXPECT_EQ(results, c.records) << c.name;
  }
}

TEST_F(EdgeConditions, SettingsAndExpansionFailuresAreConditionErrors) {
  EXPECT_THROW(run_sync(engine_->is_condition("k", "book-1", "x")), WalkError);
  EXPECT_THAT(
      log_results(),
      ElementsAre(HasSubstr("[条件错误] 当前剧本不具备可执行条件 IF node k: no comparison kind")));

  services_->db->table("logs").remove();
  EXPECT_THROW(check("1", "@{missing}==1", "x"), WalkError);
  EXPECT_THAT(log_results(),
              ElementsAre("请添加全局变量",
                          "[条件错误] 当前剧本不具备可执行条件 IF node k: condition references "
                          "did not expand: 请添加全局变量"));
}

TEST(RegexTest, FindAllKeepsPythonLikeEmptyMatches) {
  EXPECT_THAT(Regex("a*").find_all("baa"), ElementsAre("", "aa", ""));
  EXPECT_THAT(Regex(R"(\w+)").find_all("ab 中文 x"), ElementsAre("ab", "中文", "x"));
  EXPECT_THAT(Regex("").find_all("中"), ElementsAre("", ""));
  // Invalid UTF-8 in a subject is matched around, not refused.
  EXPECT_THAT(Regex("b").find_all("a\xff"
                                  "b"),
              ElementsAre("b"));
  EXPECT_THROW(Regex("\xff"), RegexError);
}

}  // namespace
}  // namespace vqflow::test
