#include <gtest/gtest.h>

#include "base/errors.h"
#include "engine_fixture.h"
#include "support/refusing_kv_store.h"

namespace vqflow::test {
namespace {

class MakeVar : public EngineTest {};

TEST_F(MakeVar, SkippedSettingsTextsWriteNothingAndOnlySpacesAreRemoved) {
  engine_->for_list = {"F"};
  for (const char* text : {"none", "", "    ", "{}", "{ }", " { } "}) {
    EXPECT_NO_THROW(engine_->make_var("none", text)) << '"' << text << '"';
  }
  // Other white space stays, so these are parsed: the first is an empty object.
  EXPECT_NO_THROW(engine_->make_var("none", "{\n}"));
  EXPECT_THROW(engine_->make_var("none", "\t"), JsonError);
  EXPECT_THROW(engine_->make_var("none", "{ x }"), JsonError);
  EXPECT_THROW(engine_->make_var("none", Value()), JsonError);
  EXPECT_THROW(engine_->make_var("none", "[1]"), ValueError);
}

TEST_F(MakeVar, SettingsWriteActionsForControllersAndTextsForAllButTheTimer) {
  engine_->for_list = {"F", "F2"};
  engine_->if_list = {"I"};
  engine_->timer_app = "T";
  const std::string settings = R"({
    "T": {"text": "timer settings", "action": "1"},
    "F": {"node_name": "loop", "action": "1", "text": "[1, 2]"},
    "F2": {"action": "2"},
    "A": {"node_name": "no text"},
    "I": {"action": 3, "text": "cond"},
    "B": {"text": "hello"},
    "N": {"text": 2.5},
    "M": {"text": {"x": 1}},
    "Z": "not an entry",
    "C": {"text": "after the failures"}
  })";
  engine_->make_var("none", settings);

  struct Expect {
    std::string node, field;
    std::optional<std::string> value;
  };
  const std::vector<Expect> expected = {
      {"T", "text", std::nullopt},
      {"T", "action", std::nullopt},
      {"F", "action", "1"},
      {"F", "text", "[1, 2]"},
      {"F2", "action", "2"},
      {"F2", "text", std::nullopt},
      {"A", "text", std::nullopt},
      {"I", "action", "3"},
      {"I", "text", "cond"},
      {"B", "text", "hello"},
      {"B", "action", std::nullopt},
      {"N", "text", "2.5"},
      {"M", "text", std::nullopt},
      {"Z", "text", std::nullopt},
      {"C", "text", "after the failures"},
  };
  for (const Expect& e : expected) {
    EXPECT_EQ(stored(e.node, e.field), e.value) << e.node << " " << e.field;
  }
}

TEST_F(MakeVar, ControllerWithoutStorableActionFailsAfterEarlierKeys) {
  engine_->for_list = {"F"};
  engine_->if_list = {"I"};
  EXPECT_THROW(engine_->make_var("none", R"({"B": {"text": "b"}, "F": {"text": "x"}})"),
               ValueError);
  EXPECT_EQ(stored("B", "text"), "b");
  EXPECT_EQ(stored("F", "text"), std::nullopt);
  // A boolean has no stored form: the "&&action" store fails make_var.
  EXPECT_THROW(engine_->make_var("none", R"({"I": {"action": true, "text": "x"}})"), StoreError);
}

TEST_F(MakeVar, LocalDefinitionsBuildATableOfTexts) {
  for (const char* text : {"[]", "[ ]", "none", "[\n]"}) {
    engine_->local_var_data = text;
    engine_->make_var(text, "none");
    EXPECT_EQ(engine_->local_var_data, Value(text)) << text;
  }
  engine_->make_var(R"([{"key": "a", "value": "1"}, {"key": "a", "value": "2"},
                        {"key": "n", "value": 5}, {"key": "m", "value": {"k": "v"}},
                        {"key": "t", "value": true}])",
                    "none");
  EXPECT_EQ(engine_->local_var_data,
            (Value{{"a", "2"}, {"n", "5"}, {"m", "{'k': 'v'}"}, {"t", "True"}}));
  EXPECT_EQ(engine_->analysis_var("@[a]-@[m]").text, "2-{'k': 'v'}");

  EXPECT_THROW(engine_->make_var(R"([{"key": "a"}])", "none"), ValueError);
  EXPECT_THROW(engine_->make_var(R"({"key": "a", "value": 1})", "none"), ValueError);
  EXPECT_THROW(engine_->make_var("[", "none"), JsonError);
}

TEST_F(MakeVar, GlobalTableFromRowsWithStatusZero) {
  engine_->make_var("none", "none");
  EXPECT_TRUE(engine_->global_var_data.is_null());
  EXPECT_EQ(engine_->analysis_var("@{g}").text, "请添加全局变量");

  auto table = [&] { return services_->db->table("variablen"); };
  table().insert({{"key", "g"}, {"value", "G"}, {"status", 0}});
  table().insert({{"key", "n"}, {"value", 5}, {"status", 0}});
  table().insert({{"key", "off"}, {"value", "X"}, {"status", 1}});
  table().insert({{"key", "g"}, {"value", "G2"}, {"status", 0}});
  engine_->make_var("none", "none");
  EXPECT_EQ(engine_->global_var_data, (Value{{"g", "G2"}, {"n", "5"}}));
  EXPECT_EQ(engine_->analysis_var("@{g}@{n}").text, "G25");
  EXPECT_EQ(engine_->analysis_var("@{off}").text, "未找到全局变量");
}

TEST_F(MakeVar, StoredTextsAreReachableByAppReferences) {
  engine_->for_list = {"f-o-r-0-1"};
  engine_->make_var("none", R"({"f-o-r-0-1": {"action": "1", "text": "[\"x\", \"y\"]"}})");
  Expansion e = engine_->analysis_var("@(f-o-r-0-1.action)/@(f-o-r-0-1.text!>1)");
  EXPECT_EQ(e.status, 0);
  EXPECT_EQ(e.text, "1/y");
}

// Staging sends a full stage at once; a store that refuses it must fail the
// run instead of losing the writes quietly.
TEST_F(MakeVar, StoreRefusingAFullStageFailsMakeVar) {
  auto refusing = std::make_shared<RefusingKvStore>(services_->kv);
  services_->kv = refusing;
  refusing->refuse_batches = true;
  Value settings = Value::object();
  for (int i = 0; i < 300; ++i) settings["node-" + std::to_string(i)] = {{"text", "t"}};
  EXPECT_THROW(engine_->make_var("none", json_text(settings)), StoreError);
  EXPECT_EQ(refusing->batches, 1);
}

TEST_F(MakeVar, TextsWithoutStoredFormArePassedOverAcrossAFullStage) {
  auto counting = std::make_shared<RefusingKvStore>(services_->kv);
  services_->kv = counting;
  Value settings = Value::object();
  for (int i = 0; i < 600; ++i) {
    const std::string id = std::to_string(i);
    settings["node-" + id] = {{"text", i % 2 == 0 ? Value(true) : Value("t" + id)}};
  }
  EXPECT_NO_THROW(engine_->make_var("none", json_text(settings)));
  EXPECT_EQ(counting->batches, 1);  // 300 texts: one full stage sent, the rest staged
  EXPECT_EQ(stored("node-1", "text"), "t1");
  EXPECT_EQ(stored("node-599", "text"), "t599");
  EXPECT_EQ(stored("node-598", "text"), std::nullopt);
}

}  // namespace
}  // namespace vqflow::test
