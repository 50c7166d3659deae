#include "apps/variable_tables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"

namespace vqflow::apps {
namespace {

const std::string k_run = "run0000001";

// "node.field=value" per write, with the run id taken out of the key.
std::vector<std::string> described(const SettingWrites& settings) {
  std::vector<std::string> out;
  const std::string marker = "&&" + k_run + "&&";
  for (const SettingWrite& write : settings.writes) {
    std::string key = write.key;
    key.replace(key.find(marker), marker.size(), ".");
    out.push_back(key + "=" + write.value);
  }
  return out;
}

SettingWrites writes_of(const Value& settings) {
  return setting_writes(settings, k_run, std::string("T"), {"F", "F2"}, {"I"});
}

TEST(SettingWrites, ActionsOfControllersThenTextsOfAllButTheTimer) {
  struct Case {
    const char* name;
    Value settings;
    std::vector<std::string> writes;
  };
  const std::vector<Case> cases = {
      {"skipped: none", "none", {}},
      {"skipped: empty", "", {}},
      {"skipped: spaces", "   ", {}},
      {"skipped: empty object", " { } ", {}},
      {"parsed: only U+0020 is removed", "{\n}", {}},
      {"every kind of member",
       R"({"I": {"text": 0, "action": "4", "node_name": "if"},
           "x": {"text": -1.5e-07},
           "T": {"action": "3", "text": "ignored"},
           "F2": {"action": 1.0},
           "y": {"text": null},
           "z": {"text": ["a"]},
           "F": {"action": "", "text": ""},
           "w": 3,
           "v": {"text": "中 text"}})",
       {"I.action=4", "I.text=0", "x.text=-1.5e-07", "F2.action=1.0",
        "F.action=", "F.text=", "v.text=中 text"}},
  };
  for (const Case& c : cases) {
    const SettingWrites settings = writes_of(c.settings);
    EXPECT_EQ(described(settings), c.writes) << c.name;
    EXPECT_FALSE(settings.fault) << c.name;
  }
}

TEST(SettingWrites, ControllerWithoutStorableActionStopsAfterTheEarlierWrites) {
  struct Case {
    const char* settings;
    std::vector<std::string> writes;
    std::string fault;
  };
  const std::vector<Case> cases = {
      {R"({"B": {"text": "b"}, "F": {"text": "x"}, "C": {"text": "c"}})",
       {"B.text=b"},
       "node settings of controller F: no \"action\""},
      {R"({"B": {"text": "b"}, "I": "not an entry"})",
       {"B.text=b"},
       "node settings of controller I: no \"action\""},
      {R"({"I": {"action": true, "text": "x"}})", {}, "invalid input of type a boolean"},
      {R"({"F": {"action": [1], "text": "x"}})", {}, "invalid input of type a list"},
  };
  for (const Case& c : cases) {
    const SettingWrites settings = writes_of(c.settings);
    EXPECT_EQ(described(settings), c.writes) << c.settings;
    ASSERT_TRUE(settings.fault) << c.settings;
    try {
      std::rethrow_exception(settings.fault);
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos) << e.what();
    }
  }
}

TEST(SettingWrites, UnreadableSettingsThrowBeforeAnyWrite) {
  EXPECT_THROW(writes_of("\t"), JsonError);
  EXPECT_THROW(writes_of("{ x }"), JsonError);
  EXPECT_THROW(writes_of(Value()), JsonError);
  EXPECT_THROW(writes_of("[1]"), ValueError);
}

TEST(LocalVariableTable, DefinitionsBecomeATableOfTexts) {
  for (const char* skipped : {"none", "[]", "[ ]", "", "  "}) {
    EXPECT_EQ(local_variable_table(skipped), std::nullopt) << skipped;
  }
  // Parsed, but defining nothing: no table either.
  for (const char* empty : {"[\n]", "{}", "\"\""}) {
    EXPECT_EQ(local_variable_table(empty), std::nullopt) << empty;
  }
  EXPECT_EQ(local_variable_table(R"([{"key": "a", "value": "1"}, {"key": "a", "value": "2"},
                                    {"key": "n", "value": 5}, {"key": "m", "value": {"k": "v"}},
                                    {"key": "t", "value": true}, {"key": "z", "value": null}])"),
            (Value{{"a", "2"}, {"n", "5"}, {"m", "{'k': 'v'}"}, {"t", "True"}, {"z", "None"}}));
  // A key that is no text is an entry that no name reaches.
  EXPECT_EQ(local_variable_table(R"([{"key": 1, "value": "x"}])"), Value::object());

  EXPECT_THROW(local_variable_table(R"([{"key": "a"}])"), ValueError);
  EXPECT_THROW(local_variable_table(R"([{"key": ["a"], "value": 1}])"), ValueError);
  EXPECT_THROW(local_variable_table(R"({"key": "a", "value": 1})"), ValueError);
  EXPECT_THROW(local_variable_table("["), JsonError);
  EXPECT_THROW(local_variable_table(Value()), JsonError);
}

TEST(GlobalVariableTable, RowsInTextFormLaterRowsWin) {
  EXPECT_TRUE(global_variable_table({}).is_null());
  const std::vector<Row> rows = {{{"key", "g"}, {"value", "G"}},
                                 {{"key", "n"}, {"value", 5}},
                                 {{"key", 7}, {"value", Value()}},
                                 {{"key", "g"}, {"value", "G2"}}};
  EXPECT_EQ(global_variable_table(rows), (Value{{"g", "G2"}, {"n", "5"}, {"7", "None"}}));
}

}  // namespace
}  // namespace vqflow::apps
