#include "run/run_recovery.h"

#include <gtest/gtest.h>

#include "base/process_identity.h"
#include "records/run_records.h"
#include "support/echo_playbook.h"
#include "support/processes.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

// The owner name of a process of this host that has died.
std::string dead_owner() {
  ProcessIdentity dead = this_process();
  dead.pid = test::dead_pid();
  return dead.text();
}

// A process killed at any point of a run's close leaves records the repair
// completes, never repeats.
TEST(RunRecovery, RepairWritesOnlyTheClosingRecordsARunLacks) {
  struct Case {
    const char* name;
    bool ended;     // its end record was stored
    bool reported;  // its report was stored
    std::vector<std::string> results;
  };
  const std::vector<Case> cases = {
      {"mid-run", false, false, {"剧本开始执行", "[运行错误] interrupt", "剧本执行结束"}},
      {"after its end record", true, false, {"剧本开始执行", "剧本执行结束"}},
      {"after its report", true, true, {"剧本开始执行", "剧本执行结束"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    auto services = test::make_test_services(dir);
    services->db->table("workflow").insert(test::echo_playbook("pb", false));
    const std::string owner = dead_owner();
    Row running = Row::object();
    for (auto [key, value] :
         {std::pair{"only_id", "r1"}, std::pair{"uuid", "pb"}, std::pair{"state", "running"}}) {
      running[key] = value;
    }
    running["owner"] = owner;
    services->db->table("runs").insert(running);
    auto log = [&](const char* text) {
      services->db->table("logs").insert(
          records::build_log_record("r1", "pb", "", "n", text, 0, text, "", "2026-12-09"));
    };
    log("剧本开始执行");
    if (c.ended) log("剧本执行结束");
    if (c.reported) {
      services->db->table("report").insert(
          records::build_report("r1", "test playbook", "", "2026-12-09"));
    }
    // Its counters: raised by the run (the in-process store starts at 0 and
    // must stay there).
    services->kv->set("pb&&exec_sum", "1");

    const auto repaired = recover_runs(services);
    ASSERT_EQ(repaired.size(), 1u);
    EXPECT_EQ(repaired[0].owner, owner);
    std::vector<std::string> results;
    for (const Row& row : services->db->table("logs").where("only_id", "r1").get()) {
      results.push_back(text_form(row["result"]));
    }
    std::vector<std::string> expected = c.results;
    if (!c.ended) expected[1] = "[运行错误] " + interrupt_reason(owner);
    EXPECT_EQ(results, expected);
    EXPECT_EQ(services->db->table("report").where("report_no", "r1").get().size(), 1u);
    auto row = services->db->table("runs").where("only_id", "r1").first();
    ASSERT_TRUE(row);
    EXPECT_EQ((*row)["state"], "interrupted");
    EXPECT_EQ(services->kv->get("pb&&exec_sum"), "0");
    EXPECT_EQ(services->kv->get("exec_sum"), "0");
    EXPECT_TRUE(recover_runs(services).empty());
  }
}

}  // namespace
}  // namespace vqflow
