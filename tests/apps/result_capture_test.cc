#include <gtest/gtest.h>

#include "apps/result_text.h"
#include "base/errors.h"
#include "engine_fixture.h"

namespace vqflow::test {
namespace {

TEST(ResultText, JsonValuesAsJsonTextEverythingElseInTextForm) {
  struct Case {
    Value result;
    bool ensure_ascii;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{{"k", 1}}, true, R"({"k": 1})"},
      {Value::array({1, "a"}), true, R"([1, "a"])"},
      {"hello", true, "hello"},
      {3, true, "3"},
      {"3", true, "3"},
      {" -3 ", true, " -3 "},
      {2.5, true, "2.5"},
      {true, true, "True"},
      {Value(), true, "null"},
      {"true", true, R"("true")"},
      {"12.5", true, R"("12.5")"},
      {R"("abc")", true, R"("\"abc\"")"},
      {R"({"a": "中"})", true, R"("{\"a\": \"\u4e2d\"}")"},
      {R"({"a": "中"})", false, R"("{\"a\": \"中\"}")"},
      {{{"名", "中"}}, false, R"({"名": "中"})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(result_text(c.result, c.ensure_ascii), c.expected) << c.result.dump();
  }
}

const char* const k_node = "a-p-p-0-1";

class GetAppData : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    write_app("demo");
    loader_->add("demo", "run", [this](const NamedArguments& args) {
      ++calls_;
      Value reply = next_reply_;
      if (!args.empty()) reply["echo"] = args.front().second;
      return reply;
    });
  }
  NodeResult visit(const std::string& node, std::optional<Value> info, bool for_play = false) {
    return run_sync(engine_->get_app_data("play-1", node, std::move(info), for_play));
  }
  Value entry(Value data) { return Value{{"app_dir", "demo"}, {"data", std::move(data)}}; }

  int calls_ = 0;
  Value next_reply_ = {{"status", 0}, {"result", {{"k", 1}}}};
};

TEST_F(GetAppData, AppNodeRunsOnceUnlessForPlayAsksAgain) {
  const Value info = entry({{"node_name", "Demo"}, {"action", "run"}});
  NodeResult first = visit(k_node, info);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.result, R"({"k": 1})");
  EXPECT_EQ(stored(k_node, "result"), R"({"k": 1})");
  EXPECT_EQ(stored(k_node, "status"), "0");

  next_reply_ = {{"status", "0"}, {"result", "second"}};
  NodeResult cached = visit(k_node, info);
  EXPECT_EQ(cached.status, Value(0));
  EXPECT_TRUE(cached.status.is_number_integer());
  EXPECT_EQ(cached.result, R"({"k": 1})");
  EXPECT_EQ(calls_, 1);

  NodeResult again = visit(k_node, info, true);
  EXPECT_EQ(again.status, "0");  // unconverted after an invocation
  EXPECT_EQ(again.result, "second");
  EXPECT_EQ(calls_, 2);
  EXPECT_EQ(stored(k_node, "result"), "second");

  const std::vector<Row> rows = logs();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["app_name"], "Demo");
  EXPECT_EQ(rows[0]["result"], R"({"k": 1})");
  EXPECT_EQ(rows[0]["html"], R"({"k": 1})");
  EXPECT_EQ(rows[0]["args"], R"({"node_name": "Demo", "action": "run", "app_dir": "demo"})");
  EXPECT_EQ(rows[1]["result"], "second");
}

TEST_F(GetAppData, StoredResultTextsFollowTheJsonTest) {
  struct Case {
    Value result;
    std::string stored;
  };
  const std::vector<Case> cases = {
      {"hello", "hello"},
      {3, "3"},
      {"3", "3"},
      {"true", R"("true")"},
      {Value(), "null"},
      {R"({"a": "中"})", R"("{\"a\": \"\u4e2d\"}")"},
      {{{"中", 1}}, R"({"\u4e2d": 1})"},
  };
  for (const Case& c : cases) {
    next_reply_ = {{"status", 0}, {"result", c.result}};
    NodeResult r = visit(k_node, entry({{"node_name", "Demo"}, {"action", "run"}}), true);
    EXPECT_EQ(r.result, c.stored) << c.result.dump();
    EXPECT_EQ(stored(k_node, "result"), c.stored) << c.result.dump();
  }
}

TEST_F(GetAppData, LoggedHtmlIsTheResultTextWhenTheAppGivesNone) {
  const Value info = entry({{"node_name", "Demo"}, {"action", "run"}});
  next_reply_ = {{"status", 0}, {"result", "r1"}, {"html", ""}};
  visit(k_node, info, true);
  next_reply_ = {{"status", 0}, {"result", "r2"}, {"html", "<b>r2</b>"}};
  visit(k_node, info, true);
  const std::vector<Row> rows = logs();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["html"], "r1");
  EXPECT_EQ(rows[1]["html"], "<b>r2</b>");
}

TEST_F(GetAppData, FailedNodeIsStoredLoggedAndNotRetried) {
  const Value info = entry({{"node_name", "Demo"}, {"action", "missing"}});
  NodeResult r = visit(k_node, info);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.result, "[程序错误] no action missing in app demo");
  EXPECT_EQ(stored(k_node, "status"), "2");
  NodeResult cached = visit(k_node, info);
  EXPECT_EQ(cached.status, 2);
  EXPECT_EQ(cached.result, r.result);
  EXPECT_EQ(logs().size(), 1u);
}

TEST_F(GetAppData, TruthyAppMemberIsRemovedBeforeInvocation) {
  visit(k_node, entry({{"node_name", "Demo"}, {"action", "run"}, {"app", true}}), true);
  visit(k_node, entry({{"node_name", "Demo"}, {"action", "run"}, {"app", ""}}), true);
  const std::vector<Row> rows = logs();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["args"], R"({"node_name": "Demo", "action": "run", "app_dir": "demo"})");
  EXPECT_EQ(rows[1]["args"],
            R"({"node_name": "Demo", "action": "run", "app": "", "app_dir": "demo"})");
}

TEST_F(GetAppData, InputNodeRunsOnceAndKeepsNonAscii) {
  engine_->input_app = "IN";
  engine_->timer_app = "TIMER";
  store("IN", "text", R"({"a": "中"})");
  NodeResult r = visit("IN", std::nullopt, true);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.result, R"("{\"a\": \"中\"}")");
  NodeResult again = visit("IN", std::nullopt, true);
  EXPECT_EQ(again.result, r.result);
  NodeResult timer = visit("TIMER", std::nullopt);
  EXPECT_EQ(timer.result, "[通知消息] 定时器执行中...");
  const std::vector<Row> rows = logs();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["app_name"], "用户输入");
  EXPECT_EQ(rows[0]["html"], rows[0]["result"]);
  EXPECT_EQ(rows[0]["args"], "");
  EXPECT_EQ(rows[1]["app_name"], "定时器");
}

TEST_F(GetAppData, BrokenStoredPairsAndEntriesFail) {
  EXPECT_THROW(visit(k_node, std::nullopt), ValueError);
  EXPECT_THROW(visit(k_node, Value{{"data", Value::object()}}), ValueError);

  // A status that no integer reads as, and a status that has no stored form.
  store(k_node, "result", "x");
  store(k_node, "status", "done");
  EXPECT_THROW(visit(k_node, entry({{"node_name", "Demo"}, {"action", "run"}})), ValueError);
  next_reply_ = {{"status", true}, {"result", "x"}};
  EXPECT_THROW(visit("o-t-h-e-r", entry({{"node_name", "Demo"}, {"action", "run"}})), StoreError);
  // Result key present, status key missing.
  store("l-o-s-t-1", "result", "x");
  EXPECT_THROW(visit("l-o-s-t-1", entry({{"node_name", "Demo"}, {"action", "run"}})), StoreError);
}

}  // namespace
}  // namespace vqflow::test
