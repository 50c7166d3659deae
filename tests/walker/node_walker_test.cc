#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "walker/walker_fixture.h"
#include "walker/walker_support.h"

namespace vqflow::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using NodeWalker = WalkerTest;

TEST_F(NodeWalker, NothingToWalkRunsNothing) {
  EXPECT_EQ(walk_paths({}), 0);
  EXPECT_EQ(walk_paths({"s", "s->e"}), 0);
  EXPECT_TRUE(calls_.empty());
  EXPECT_TRUE(logs().empty());
}

TEST_F(NodeWalker, AppNodesRunInPathOrderAndLeaveTheLastResult) {
  const std::string a = "app-0-0-0-a";  // app references need ids of this shape
  app(a, "1");
  app("b", "@(" + a + ".result)");
  EXPECT_EQ(walk({{"s", a}, {a, "b"}, {"b", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre(a + ":1", "b:" + a + " done"));
  EXPECT_EQ(stored("run0000001if_else_result"), "b done");
  EXPECT_THAT(log_results(), ElementsAre(a + " done", "b done"));
}

TEST_F(NodeWalker, PathsAreWalkedOneAfterAnother) {
  app("a");
  app("b");
  EXPECT_EQ(walk({{"s", "a"}, {"a", "e"}, {"s", "b"}, {"b", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre("a:", "b:"));
}

TEST_F(NodeWalker, FailedNodeEndsOnlyItsPath) {
  app("a");
  app("c");
  app("b");
  answer("a", 2, "broken");
  EXPECT_EQ(walk({{"s", "a"}, {"a", "c"}, {"c", "e"}, {"s", "b"}, {"b", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre("a:", "b:"));
  // A status that only looks like 2 is no failure.
  calls_.clear();
  engine_->only_id = "run0000002";
  answer("a", "2", "text status");
  EXPECT_EQ(walk({{"s", "a"}, {"a", "c"}, {"c", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre("a:", "c:"));
}

TEST_F(NodeWalker, NodeOnSeveralPathsRunsOnce) {
  app("a");
  app("b");
  app("c");
  EXPECT_EQ(walk({{"s", "a"}, {"a", "b"}, {"b", "e"}, {"a", "c"}, {"c", "e"}}), 0);
  EXPECT_THAT(calls_, ElementsAre("a:", "b:", "c:"));
}

TEST_F(NodeWalker, AuditStopsTheRunAndRecordsTheRequest) {
  app("a");
  app("b");
  app("x");
  audit_node("u", "user-7");
  EXPECT_EQ(walk({{"s", "a"}, {"a", "u"}, {"u", "b"}, {"b", "e"}, {"s", "x"}, {"x", "e"}}), 1);
  EXPECT_THAT(calls_, ElementsAre("a:"));
  const std::vector<Row> audits = services_->db->table("audit").get();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0]["workflow_uuid"], "book-1");
  EXPECT_EQ(audits[0]["only_id"], "run0000001");
  EXPECT_EQ(audits[0]["user_id"], "user-7");
  EXPECT_EQ(audits[0]["audit_app"], "u");
  EXPECT_EQ(audits[0]["start_app"], "b");
  const std::vector<Row> records = logs();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1]["app_uuid"], "u");
  EXPECT_EQ(records[1]["app_name"], "审核 u");
  EXPECT_EQ(records[1]["result"], "剧本等待审核...");
  EXPECT_EQ(records[1]["status"], 0);
  EXPECT_EQ(records[1]["html"], "<span>剧本等待审核...</span>");
}

TEST_F(NodeWalker, AuditWithoutAuditorFails) {
  app("a");
  engine_->audit_list.push_back("u");
  settings_["u"] = {{"node_name", "U"}};
  EXPECT_THROW(walk({{"s", "a"}, {"a", "u"}, {"u", "e"}}), WalkError);
  EXPECT_TRUE(services_->db->table("audit").get().empty());
}

TEST_F(NodeWalker, IfNodeDecidesWhetherThePathGoesOn) {
  struct Case {
    const char* name;
    Value action;
    const char* result_of_a;
    std::vector<std::string> calls;
  };
  const std::vector<Case> cases = {
      {"true goes on", "1", "done", {"a:", "b:"}},
      {"false ends the path", "1", "fail", {"a:"}},
      {"unknown kind goes on", "9", "fail", {"a:", "b:"}},
  };
  int run = 0;
  for (const Case& c : cases) {
    SetUp();
    engine_->only_id = "run000000" + std::to_string(++run);
    app("a");
    app("b");
    answer("a", 0, c.result_of_a);
    if_node("k", c.action, "[ok,done]");
    EXPECT_EQ(walk({{"s", "a"}, {"a", "k"}, {"k", "b"}, {"b", "e"}}), 0) << c.name;
    EXPECT_EQ(calls_, c.calls) << c.name;
  }
}

TEST_F(NodeWalker, IfNodeBeforeAnyAppFails) {
  app("b");
  if_node("k", "1", "x");
  try {
    walk({{"s", "k"}, {"k", "b"}, {"b", "e"}});
    ADD_FAILURE() << "no error";
  } catch (const WalkError& e) {
    EXPECT_THAT(e.what(), HasSubstr("IF node k: no app result before it"));
  }
  EXPECT_TRUE(calls_.empty());
  EXPECT_TRUE(logs().empty());
}

TEST_F(NodeWalker, IfThenAuditOnTheSameNode) {
  app("a");
  app("b");
  answer("a", 0, "ok");
  if_node("k", "1", "ok");
  engine_->audit_list.push_back("k");
  settings_["k"]["text"] = "ok";
  // The condition text doubles as the auditor id here: both read "&&text".
  EXPECT_EQ(walk({{"s", "a"}, {"a", "k"}, {"k", "b"}, {"b", "e"}}), 1);
  EXPECT_THAT(calls_, ElementsAre("a:"));
  EXPECT_EQ(services_->db->table("audit").get().at(0)["user_id"], "ok");
}

TEST_F(NodeWalker, EachAppNodeGetsItsOwnCopyOfTheFlowData) {
  app("a");
  app("b");
  const Value before = flow_data_;
  EXPECT_EQ(walk({{"s", "a"}, {"a", "b"}, {"b", "e"}}), 0);
  EXPECT_EQ(*engine_->flow_data, before);
}

}  // namespace
}  // namespace vqflow::test
