#include "records/checkpoints.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "support/test_support.h"

namespace vqflow::records {
namespace {

NodeCheckpoint call(const std::string& node, Value status, const std::string& result) {
  return NodeCheckpoint{
      node,
      std::move(status),
      result,
      {KvWrite{node + "&&r1&&result", result, 60}, KvWrite{node + "&&r1&&status", "0", 60}}};
}

TEST(Checkpoints, ARowGivesBackTheCallItWasMadeOf) {
  const NodeCheckpoint made = call("n-1", "0", "line\n\"quoted\" 中文");
  const NodeCheckpoint read = checkpoint_of(checkpoint_row("r1", 4, made, "2026-01-01 00:00:00"));
  EXPECT_EQ(read.node, "n-1");
  EXPECT_EQ(read.status, "0");  // the status as the app gave it, a text here
  EXPECT_EQ(read.result, made.result);
  ASSERT_EQ(read.writes.size(), 2u);
  EXPECT_EQ(read.writes[0].key, "n-1&&r1&&result");
  EXPECT_EQ(read.writes[0].value, made.result);
  EXPECT_EQ(checkpoint_of(checkpoint_row("r1", 1, call("n", 2, "x"), "")).status, 2);
}

TEST(Checkpoints, MalformedRowsAreRefusedWithTheirSequence) {
  Row row = checkpoint_row("r1", 3, call("n", 0, "x"), "");
  for (const char* column : {"outcome", "writes"}) {
    Row broken = row;
    broken[column] = "{not json";
    try {
      checkpoint_of(broken);
      ADD_FAILURE() << column;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("checkpoint 3: ", 0), 0u) << e.what();
    }
  }
}

TEST(Checkpoints, LoadAnswersCallsInSequenceUpToTheFirstGap) {
  test::TempDir dir;
  auto db = open_database(dir.file("v.db"));
  db->init_schema();
  const auto insert = [&](long long seq, const std::string& node, const std::string& only_id) {
    db->table("checkpoints").insert(checkpoint_row(only_id, seq, call(node, 0, node), ""));
  };
  Row start = Row::object();
  start["only_id"] = "r1";
  start["seq"] = 0;
  start["outcome"] = R"({"n-b": {"text": "hi"}})";
  start["writes"] = "[]";
  db->table("checkpoints").insert(start);
  insert(2, "b", "r1");
  insert(1, "a", "r1");
  insert(2, "b2", "r1");  // made again by a later walk: the later row counts
  insert(4, "d", "r1");   // after a gap
  insert(1, "other", "r2");
  StoredCheckpoints loaded = load_checkpoints(*db, "r1");
  ASSERT_TRUE(loaded.settings);
  EXPECT_EQ((*loaded.settings)["n-b"]["text"], "hi");
  ASSERT_EQ(loaded.calls.size(), 2u);
  EXPECT_EQ(loaded.calls[0].node, "a");
  EXPECT_EQ(loaded.calls[1].node, "b2");

  drop_checkpoints(*db, "r1", 2);
  EXPECT_EQ(load_checkpoints(*db, "r1").calls.size(), 1u);
  drop_checkpoints(*db, "r1");
  EXPECT_TRUE(db->table("checkpoints").where("only_id", "r1").get().empty());
  EXPECT_EQ(load_checkpoints(*db, "r2").calls.size(), 1u);
}

}  // namespace
}  // namespace vqflow::records
