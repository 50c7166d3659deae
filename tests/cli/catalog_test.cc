#include <gtest/gtest.h>

#include "stores/database.h"
#include "support/cli_runner.h"
#include "support/test_support.h"
#include "value/value.h"

namespace vqflow {
namespace {

using test::TempDir;

// A store with two playbooks, one of whose runs waits at an audit node.
void fill_store(const TempDir& dir) {
  auto db = open_database(dir.file("vqflow.db"));
  db->init_schema();
  db->table("workflow")
      .insert(Value{{"uuid", "pb-1"}, {"name", "triage"}, {"status", 0}, {"start_app", "S"}});
  db->table("workflow").insert(Value{{"uuid", "pb-2"}, {"name", "line\nbreak"}, {"status", 1}});
  db->table("audit").insert(Value{{"workflow_uuid", "pb-1"},
                                  {"only_id", "run-1"},
                                  {"user_id", "ann"},
                                  {"audit_app", "U"},
                                  {"status", 0},
                                  {"create_time", "2026-12-09 05:00:00"}});
  db->table("audit").insert(Value{{"workflow_uuid", "pb-1"},
                                  {"only_id", "run-0"},
                                  {"audit_app", "U"},
                                  {"status", 2},
                                  {"create_time", "2026-12-08 05:00:00"}});
}

TEST(CliCatalog, ListsPrintOneJsonArrayOrOneTableLinePerItem) {
  TempDir dir;
  fill_store(dir);
  auto json = test::run_vqflow(dir, "playbooks list --json");
  ASSERT_EQ(json.exit_code, 0) << json.err;
  const Value playbooks = parse_json(json.out);
  ASSERT_EQ(playbooks.size(), 2u) << json.out;
  EXPECT_EQ(playbooks[0]["uuid"], "pb-1");
  EXPECT_EQ(playbooks[1]["name"], "line\nbreak");

  auto table = test::run_vqflow(dir, "playbooks list");
  ASSERT_EQ(table.exit_code, 0) << table.err;
  EXPECT_EQ(table.out,
            "uuid  name         status  start_app  end_app  remarks\n"
            "pb-1  triage       0       S          -        -\n"
            "pb-2  line\\nbreak  1       -          -        -\n");

  auto audits = test::run_vqflow(dir, "audits list --json");
  ASSERT_EQ(audits.exit_code, 0) << audits.err;
  EXPECT_EQ(parse_json(audits.out), parse_json(R"([{"uuid": "pb-1", "playbook": "triage",
      "only_id": "run-1", "audit_app": "U", "approver": "ann",
      "waiting_since": "2026-12-09 05:00:00"}])"));
  auto audit_table = test::run_vqflow(dir, "audits list");
  ASSERT_EQ(audit_table.exit_code, 0) << audit_table.err;
  EXPECT_EQ(audit_table.out,
            "only_id  audit_app  approver  waiting_since        uuid  playbook\n"
            "run-1    U          ann       2026-12-09 05:00:00  pb-1  triage\n");
}

TEST(CliCatalog, EmptyStoreSaysSoAndJsonIsAnEmptyArray) {
  TempDir dir;
  auto db = open_database(dir.file("vqflow.db"));
  db->init_schema();
  auto table = test::run_vqflow(dir, "audits list");
  ASSERT_EQ(table.exit_code, 0) << table.err;
  EXPECT_EQ(table.out, "no run waits for a decision\n");
  auto json = test::run_vqflow(dir, "playbooks list --json");
  ASSERT_EQ(json.exit_code, 0) << json.err;
  EXPECT_EQ(json.out, "[]\n");
}

}  // namespace
}  // namespace vqflow
