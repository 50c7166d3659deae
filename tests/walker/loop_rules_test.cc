#include "walker/loop_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vqflow::walker {
namespace {

constexpr long long k_bound = 1000;

// The (key=)value texts a loop would publish, one per round.
std::vector<std::string> rounds(const LoopCollection& loop) {
  std::vector<std::string> out;
  switch (loop.kind) {
    case LoopKind::list:
      for (const Value& element : loop.items) out.push_back(loop_value_text(element));
      break;
    case LoopKind::map:
      for (const auto& [key, value] : loop.items.items()) {
        out.push_back(key + "=" + loop_value_text(value));
      }
      break;
    case LoopKind::count:
      for (long long i = 0; i < loop.count; ++i) out.push_back(std::to_string(i));
      break;
    case LoopKind::none:
      break;
  }
  return out;
}

struct Case {
  const char* action;
  std::string collection;
  std::vector<std::string> rounds;
};

TEST(ReadLoopCollection, CollectionsOfEachKind) {
  const std::vector<Case> cases = {
      {"1", "[1, 'a', {'k': 'v'}, [2]]", {"1", "a", R"({"k": "v"})", "[2]"}},
      {"1", "'[1, 2]'", {"1", "2"}},  // a quoted list is read once more
      {"1", R"("['x', 'y']")", {"x", "y"}},
      {"1", "[True, None, 1.5, '中']", {"True", "None", "1.5", "中"}},
      {"1", "[{'k': '中'}]", {R"({"k": "\u4e2d"})"}},
      {"1", "[]", {}},
      {"1", " [1,] ", {"1"}},
      {"2", "{'b': 1, 'a': [3]}", {"b=1", "a=[3]"}},  // members in written order
      {"2", "\"{'k': None}\"", {"k=None"}},
      {"2", "{}", {}},
      {"3", " 3 ", {"0", "1", "2"}},
      {"3", "1_0", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}},
      {"3", "+2", {"0", "1"}},
      {"3", "0", {}},
      {"3", "-2", {}},
      {"5", "[1]", {}},  // no loop
      {"", "anything", {}},
  };
  for (const Case& c : cases) {
    const LoopCollection loop = read_loop_collection(c.action, c.collection, k_bound);
    EXPECT_FALSE(loop.failure) << c.action << " " << c.collection << ": " << loop.failure->record;
    EXPECT_EQ(rounds(loop), c.rounds) << c.action << " " << c.collection;
  }
  EXPECT_EQ(read_loop_collection("5", "[1]", k_bound).kind, LoopKind::none);
}

struct FailureCase {
  const char* action;
  std::string collection;
  std::string record;
  std::string error;
};

TEST(ReadLoopCollection, WrongCollectionsFailWithTheirKindsTexts) {
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const std::string list = "请输入数组进行循环", map = "请输入字典进行循环",
                    count = "请输入数字次数进行循环";
  const std::vector<FailureCase> cases = {
      {"1", "{'a': 1}", "[配置错误] " + list, list},  // a map is not read again
      {"1", "[true]", "[配置错误] " + list, list},    // JSON words are not literals
      {"1", "one, two", "[配置错误] " + list, list},  {"1", "'abc'", "[配置错误] " + list, list},
      {"1", "'\"[1]\"'", "[配置错误] " + list, list},  // read again only once
      {"1", "", "[配置错误] " + list, list},          {"1", deep, "[配置错误] " + list, list},
      {"2", "[1]", "[配置错误] " + map, map},         {"2", "'[1]'", "[配置错误] " + map, map},
      {"3", "2.5", "[配置错误] " + count, count},     {"3", "three", "[配置错误] " + count, count},
      {"3", "1__0", "[配置错误] " + count, count},    {"3", "", "[配置错误] " + count, count},
  };
  for (const FailureCase& c : cases) {
    const LoopCollection loop = read_loop_collection(c.action, c.collection, k_bound);
    ASSERT_TRUE(loop.failure) << c.action << " " << c.collection.substr(0, 40);
    EXPECT_EQ(loop.failure->record, c.record) << c.collection.substr(0, 40);
    EXPECT_EQ(loop.failure->error, c.error) << c.collection.substr(0, 40);
    EXPECT_FALSE(loop.failure->rounds_over_bound) << c.collection.substr(0, 40);
    EXPECT_TRUE(rounds(loop).empty()) << c.collection.substr(0, 40);
  }
}

TEST(ReadLoopCollection, EveryKindIsBoundInRounds) {
  struct Bound {
    const char* action;
    std::string collection;
    long long rounds;
    std::string what;
  };
  const std::vector<Bound> over = {
      {"3", "3", 3, "请输入数字次数进行循环"},
      {"1", "[1, 2, 3]", 3, "请输入数组进行循环"},
      {"2", "{'a': 1, 'b': 2, 'c': 3}", 3, "请输入字典进行循环"},
  };
  for (const Bound& c : over) {
    const LoopCollection loop = read_loop_collection(c.action, c.collection, 2);
    ASSERT_TRUE(loop.failure) << c.collection;
    EXPECT_EQ(loop.failure->record, "[配置错误] " + c.what);
    EXPECT_EQ(loop.failure->error, c.what + " (3 rounds, more than --max-loop 2)");
    EXPECT_EQ(loop.failure->rounds_over_bound, c.rounds);
    EXPECT_TRUE(rounds(loop).empty()) << c.collection;
  }
  EXPECT_EQ(rounds(read_loop_collection("3", "2", 2)).size(), 2u);
  EXPECT_EQ(rounds(read_loop_collection("1", "[1, 2]", 2)).size(), 2u);
}

TEST(LoopFailures, SettingsAndVariableErrors) {
  const LoopFailure missing = missing_loop_settings();
  EXPECT_EQ(missing.record, "[配置错误] 请配置 FOR 控制器");
  EXPECT_EQ(missing.error, "请配置 FOR 控制器");
  const LoopFailure variable = loop_variable_error("未找到全局变量");
  EXPECT_EQ(variable.record, "[变量错误] 未找到全局变量");
  EXPECT_EQ(variable.error, variable.record);
}

}  // namespace
}  // namespace vqflow::walker
