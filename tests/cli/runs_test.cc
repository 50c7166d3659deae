#include <gtest/gtest.h>

#include <thread>

#include "stores/database.h"
#include "support/cli_runner.h"
#include "support/test_support.h"
#include "value/value.h"

namespace vqflow {
namespace {

using test::TempDir;

std::unique_ptr<Database> store_with_runs(const TempDir& dir) {
  auto db = open_database(dir.file("vqflow.db"));
  db->init_schema();
  db->table("workflow").insert(Value{{"uuid", "pb-1"}, {"name", "triage"}, {"status", 0}});
  db->table("runs").insert(Value{{"only_id", "run-a"},
                                 {"uuid", "pb-1"},
                                 {"state", "done"},
                                 {"failed_steps", 1},
                                 {"started", "2026-12-09 05:00:00"},
                                 {"ended", "2026-12-09 05:00:02"}});
  db->table("runs").insert(Value{{"only_id", "run-b"},
                                 {"uuid", "pb-1"},
                                 {"state", "running"},
                                 {"failed_steps", 0},
                                 {"started", "2026-12-09 05:01:00"}});
  db->table("logs").insert(Value{{"only_id", "run-a"},
                                 {"uuid", "pb-1"},
                                 {"app_uuid", "A"},
                                 {"app_name", "shout"},
                                 {"result", "HELLO"},
                                 {"status", 0},
                                 {"create_time", "2026-12-09 05:00:01"}});
  db->table("logs").insert(Value{{"only_id", "run-a"},
                                 {"uuid", "pb-1"},
                                 {"app_uuid", "B"},
                                 {"app_name", "size"},
                                 {"result", "boom"},
                                 {"status", 1},
                                 {"create_time", "2026-12-09 05:00:02"}});
  return db;
}

TEST(CliRuns, ListAndShowPrintTheRunsTable) {
  TempDir dir;
  store_with_runs(dir);
  auto json = test::run_vqflow(dir, "runs list --json");
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const Value runs = parse_json(json.out);
  ASSERT_EQ(runs.size(), 2u) << json.out;
  EXPECT_EQ(runs[0]["only_id"], "run-b");
  auto filtered = test::run_vqflow(dir, "runs list --state done --playbook pb-1 --limit 5");
  ASSERT_EQ(filtered.exit_code, 0) << filtered.err;
  EXPECT_NE(filtered.out.find("run-a"), std::string::npos) << filtered.out;
  EXPECT_EQ(filtered.out.find("run-b"), std::string::npos) << filtered.out;
  EXPECT_EQ(test::run_vqflow(dir, "runs list --limit 0").exit_code,
            105);  // out of range

  auto shown = test::run_vqflow(dir, "runs show run-a --json");
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  const Value run = parse_json(shown.out);
  EXPECT_EQ(run["state"], "done");
  EXPECT_EQ(run["nodes"].size(), 2u);
  auto readable = test::run_vqflow(dir, "runs show run-a");
  ASSERT_EQ(readable.exit_code, 0) << readable.err;
  EXPECT_NE(readable.out.find("state:        done"), std::string::npos) << readable.out;
  EXPECT_NE(readable.out.find("HELLO"), std::string::npos) << readable.out;
  auto missing = test::run_vqflow(dir, "runs show nope");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.err.find("no run nope"), std::string::npos) << missing.err;
}

TEST(CliRuns, LogsPrintRecordsAsARunDoesAndEndWithTheOutcome) {
  TempDir dir;
  store_with_runs(dir);
  auto logs = test::run_vqflow(dir, "runs logs run-a --json");
  ASSERT_EQ(logs.exit_code, 0) << logs.err;
  auto lines = test::json_lines(logs.out);
  ASSERT_EQ(lines.size(), 3u) << logs.out;
  EXPECT_EQ(lines[0]["method"], "execute_log");
  EXPECT_EQ(lines[0]["data"]["result"], "HELLO");
  EXPECT_FALSE(lines[0]["data"].contains("id"));
  EXPECT_EQ(lines[2], parse_json(R"({"method": "run_closed",
      "data": {"only_id": "run-a", "state": "done", "failed_steps": 1}})"));
  auto readable = test::run_vqflow(dir, "runs logs run-a");
  EXPECT_NE(readable.out.find("FAIL"), std::string::npos) << readable.out;
  EXPECT_NE(readable.out.find("run run-a closed, 1 failed step"), std::string::npos)
      << readable.out;
  EXPECT_EQ(test::run_vqflow(dir, "runs logs nope").exit_code, 1);
}

TEST(CliRuns, FollowKeepsReadingUntilTheRunCloses) {
  TempDir dir;
  auto db = store_with_runs(dir);
  test::CliOutcome followed;
  std::thread follower(
      [&] { followed = test::run_vqflow(dir, "runs logs run-b --follow --json"); });
  db->table("logs").insert(Value{{"only_id", "run-b"},
                                 {"uuid", "pb-1"},
                                 {"app_uuid", "A"},
                                 {"result", "later"},
                                 {"status", 0}});
  db->table("runs").where("only_id", "run-b").update(Value{{"state", "done"}});
  follower.join();
  ASSERT_EQ(followed.exit_code, 0) << followed.err;
  auto lines = test::json_lines(followed.out);
  ASSERT_EQ(lines.size(), 2u) << followed.out;
  EXPECT_EQ(lines[0]["data"]["result"], "later");
  EXPECT_EQ(lines[1]["data"]["state"], "done");
}

TEST(CliRuns, CancelAsksOnlyForRunningRuns) {
  TempDir dir;
  auto db = store_with_runs(dir);
  auto cancelled = test::run_vqflow(dir, "runs cancel run-b --user ann");
  ASSERT_EQ(cancelled.exit_code, 0) << cancelled.err;
  EXPECT_EQ((*db->table("runs").where("only_id", "run-b").first())["cancel_by"], "ann");
  EXPECT_EQ(test::run_vqflow(dir, "runs cancel run-a").exit_code, 1);
  EXPECT_EQ(test::run_vqflow(dir, "runs cancel nope").exit_code, 1);
}

}  // namespace
}  // namespace vqflow
