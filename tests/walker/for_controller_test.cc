#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "walker/walker_fixture.h"
#include "walker/walker_support.h"

namespace vqflow::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// FOR node ids need the shape of app reference ids (five word runs joined by "-").
const std::string k_loop = "loop-0-0-0-1";
const std::string k_inner = "loop-0-0-0-2";

class ForController : public WalkerTest {
 protected:
  // s -> loop -> x -> e, x logging the loop's current value (and key).
  int walk_loop(const Value& action, const Value& text) {
    for_node(k_loop, action, text);
    app("x", "@(" + k_loop + ".value)");
    return walk({{"s", k_loop}, {k_loop, "x"}, {"x", "e"}});
  }
};

TEST_F(ForController, ListElementsAreWalkedOneByOne) {
  struct Case {
    const char* text;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"[1, 'a', {'k': 'v'}, [2]]", {"x:1", "x:a", R"(x:{"k": "v"})", "x:[2]"}},
      {"'[1, 2]'", {"x:1", "x:2"}},  // a quoted list is read once more
      {"[True, None, 1.5, '中']", {"x:True", "x:None", "x:1.5", "x:中"}},
      {"[{'k': '中'}]", {R"(x:{"k": "\u4e2d"})"}},
      {"[]", {}},
  };
  for (const Case& c : cases) {
    SetUp();
    EXPECT_EQ(walk_loop("1", c.text), 0) << c.text;
    EXPECT_EQ(calls_, c.calls) << c.text;
  }
}

TEST_F(ForController, MapMembersPublishKeyAndValue) {
  for_node(k_loop, "2", "{'b': 1, 'a': [3]}");
  app("x", "@(" + k_loop + ".key)=@(" + k_loop + ".value)");
  EXPECT_EQ(walk({{"s", k_loop}, {k_loop, "x"}, {"x", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre("x:b=1", "x:a=[3]"));
  EXPECT_EQ(stored(engine_->run_key(k_loop, "key")), "a");
  EXPECT_EQ(stored(engine_->run_key(k_loop, "value")), "[3]");
}

TEST_F(ForController, CountRunsFromZero) {
  struct Case {
    const char* text;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {" 3 ", {"x:0", "x:1", "x:2"}},
      {"1_0", {"x:0", "x:1", "x:2", "x:3", "x:4", "x:5", "x:6", "x:7", "x:8", "x:9"}},
      {"0", {}},
      {"-2", {}},
  };
  for (const Case& c : cases) {
    SetUp();
    EXPECT_EQ(walk_loop("3", c.text), 0) << c.text;
    EXPECT_EQ(calls_, c.calls) << c.text;
  }
}

TEST_F(ForController, ReferencesInTheCollectionAreExpanded) {
  app("a");
  answer("a", 0, Value::array({"x", "y"}));
  for_node(k_loop, "1", "@(a-0-0-0-0.result)");
  flow_data_["a-0-0-0-0"] = flow_data_["a"];
  flow_data_["a-0-0-0-0"]["data"]["node"] = "a";
  app("x", "@(" + k_loop + ".value)");
  EXPECT_EQ(walk({{"s", "a-0-0-0-0"}, {"a-0-0-0-0", k_loop}, {k_loop, "x"}, {"x", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre("a:", "x:x", "x:y"));
}

TEST_F(ForController, NestedLoopsWalkEveryCombination) {
  for_node(k_loop, "1", "[1, 2]");
  for_node(k_inner, "3", "2");
  app("x", "@(" + k_loop + ".value)/@(" + k_inner + ".value)");
  app("y", "after");
  EXPECT_EQ(walk({{"s", k_loop}, {k_loop, k_inner}, {k_inner, "x"}, {"x", "y"}, {"y", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre("x:1/0", "y:after", "x:1/1", "y:after", "x:2/0", "y:after",
                                  "x:2/1", "y:after"));
}

TEST_F(ForController, AuditInsideTheBodyEndsOnlyThatElement) {
  for_node(k_loop, "1", "['p', 'q']");
  app("a", "@(" + k_loop + ".value)");
  audit_node("u", "boss");
  app("b");
  app("z");
  EXPECT_EQ(walk({{"s", k_loop},
                  {k_loop, "a"},
                  {"a", "u"},
                  {"u", "b"},
                  {"b", "e"},
                  {"s", "z"},
                  {"z", "e"}}),
            0);
  EXPECT_THAT(calls_, ElementsAre("a:p", "a:q", "z:"));
  EXPECT_EQ(services_->db->table("audit").get().size(), 2u);
}

TEST_F(ForController, OtherLoopKindsRunNothingAfterTheNode) {
  EXPECT_EQ(walk_loop("5", "[1]"), 0);
  EXPECT_TRUE(calls_.empty());
  EXPECT_TRUE(logs().empty());
}

TEST_F(ForController, LoopBeforeTheEndRunsAnEmptyBody) {
  for_node(k_loop, "1", "[1, 2]");
  EXPECT_EQ(walk({{"s", k_loop}, {k_loop, "e"}}), 0);
  EXPECT_EQ(stored(engine_->run_key(k_loop, "value")), "2");
}

struct Failure {
  const char* name;
  Value action;
  Value text;
  std::string record;
};

TEST_F(ForController, BadSettingsWriteARecordAndEndTheWalk) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const std::vector<Failure> cases = {
      {"map for a list", "1", "{'a': 1}", "[配置错误] 请输入数组进行循环"},
      {"JSON words", "1", "[true]", "[配置错误] 请输入数组进行循环"},
      {"not a literal", "1", "one, two", "[配置错误] 请输入数组进行循环"},
      {"quoted non-list", "1", "'abc'", "[配置错误] 请输入数组进行循环"},
      {"nested too deep", "1", deep, "[配置错误] 请输入数组进行循环"},
      {"list for a map", "2", "[1]", "[配置错误] 请输入字典进行循环"},
      {"real count", "3", "2.5", "[配置错误] 请输入数字次数进行循环"},
      {"word count", "3", "three", "[配置错误] 请输入数字次数进行循环"},
      {"count above the bound", "3", "100001", "[配置错误] 请输入数字次数进行循环"},
      {"references fail", "1", "@{nothing}", "[变量错误] 请添加全局变量"},
  };
  for (const Failure& c : cases) {
    SetUp();
    services_->db->table("logs").remove();
    app("z");
    for_node(k_loop, c.action, c.text);
    app("x");
    try {
      walk({{"s", k_loop}, {k_loop, "x"}, {"x", "e"}, {"s", "z"}, {"z", "e"}});
      ADD_FAILURE() << c.name << ": no error";
    } catch (const WalkError& e) {
      // The error carries the text without its category, except for variable errors.
      const bool variable_error = c.record.rfind("[变量错误]", 0) == 0;
      const std::string bare = c.record.substr(c.record.find(']') + 2);
      EXPECT_THAT(e.what(), HasSubstr(variable_error ? c.record : bare)) << c.name;
    }
    EXPECT_TRUE(calls_.empty()) << c.name;
    const std::vector<Row> records = logs();
    ASSERT_EQ(records.size(), 1u) << c.name;
    EXPECT_EQ(records[0]["app_uuid"], k_loop) << c.name;
    EXPECT_EQ(records[0]["app_name"], "Node " + k_loop) << c.name;
    EXPECT_EQ(records[0]["result"], c.record) << c.name;
    EXPECT_EQ(records[0]["status"], 1) << c.name;
    EXPECT_EQ(records[0]["html"], "<span>" + c.record + "</span>") << c.name;
  }
}

TEST_F(ForController, MissingSettingsKeysAreAConfigurationError) {
  // Settings without "action" never reach the store (the variable step refuses
  // them), so the keys are simply missing here.
  engine_->for_list.push_back(k_loop);
  engine_->node_link_data = std::make_shared<const Value>(
      Value::parse(R"([["s", "loop-0-0-0-1"], ["loop-0-0-0-1", "e"]])"));
  engine_->controller_data = R"({"loop-0-0-0-1": {"node_name": "L"}})";
  EXPECT_THROW(walk_paths({"s->loop-0-0-0-1->e"}), WalkError);
  EXPECT_THAT(log_results(), ElementsAre("[配置错误] 请配置 FOR 控制器"));
}

TEST_F(ForController, EveryKindOfLoopIsBoundByTheConfiguration) {
  struct Case {
    std::string action, text, record;
  };
  const std::vector<Case> over = {
      {"3", "3", "[配置错误] 请输入数字次数进行循环"},
      {"1", "[1, 2, 3]", "[配置错误] 请输入数组进行循环"},
      {"2", R"({"a": 1, "b": 2, "c": 3})", "[配置错误] 请输入字典进行循环"},
  };
  for (const Case& c : over) {
    SetUp();
    services_->config.max_loop = 2;
    EXPECT_THROW(walk_loop(c.action, c.text), WalkError) << c.text;
    EXPECT_TRUE(calls_.empty()) << c.text;
    EXPECT_EQ(log_results().back(), c.record) << c.text;  // SetUp keeps the database
  }
  for (const std::string& within : {"2", "[1, 2]"}) {
    SetUp();
    services_->config.max_loop = 2;
    EXPECT_EQ(walk_loop(within == "2" ? "3" : "1", within), 0) << within;
    EXPECT_EQ(calls_.size(), 2u) << within;
  }
}

}  // namespace
}  // namespace vqflow::test
