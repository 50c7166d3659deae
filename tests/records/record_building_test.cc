#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records/run_records.h"

namespace vqflow::records {
namespace {

std::vector<std::string> keys_of(const Value& record) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : record.items()) keys.push_back(key);
  return keys;
}

TEST(BuildLogRecord, MembersInOrderAndEscapesShownDecoded) {
  struct Case {
    const char* name;
    Value result;
    Value html;
    Value shown_result;
    Value shown_html;
  };
  const std::vector<Case> cases = {
      {"plain", "ok", "<span>ok</span>", "ok", "<span>ok</span>"},
      {"escape in result decodes both", R"(got \u4e2d)", R"(<b>\u6587</b>)", "got 中", "<b>文</b>"},
      {"escape in html only", "no escape", R"(\u6587)", "no escape", R"(\u6587)"},
      {"cut short: both as given", R"(bad \uZZ)", R"(\u4e2d)", R"(bad \uZZ)", R"(\u4e2d)"},
      {"html cut short: result decoded", R"(\u4e2d)", R"(\x4)", "中", R"(\x4)"},
      {"html no text: decoded in text form", R"(\u4e2d)", Value::array({1}), "中", "[1]"},
      {"no text, no escape: unchanged", Value{{"k", 1}}, 5, Value{{"k", 1}}, 5},
      {"no text with an escape: its text form decoded", Value::array({R"(\u4e2d)"}), "h",
       "['\\u4e2d']", "h"},
  };
  for (const Case& c : cases) {
    const Value record =
        build_log_record("run0000001", "pb", "node-1", "查询", c.result, 1, c.html, "", "T0");
    EXPECT_EQ(keys_of(record),
              (std::vector<std::string>{"only_id", "uuid", "app_uuid", "app_name", "result",
                                        "status", "html", "args", "create_time"}))
        << c.name;
    EXPECT_EQ(record["result"], c.shown_result) << c.name;
    EXPECT_EQ(record["html"], c.shown_html) << c.name;
    EXPECT_EQ(record["only_id"], "run0000001") << c.name;
    EXPECT_EQ(record["status"], 1) << c.name;
    EXPECT_EQ(record["create_time"], "T0") << c.name;
  }
}

TEST(BuildReportAndAudit, RowsOfTheRun) {
  EXPECT_EQ(json_text(build_report("run0000001", "triage", Value(), "T1")),
            R"({"report_no": "run0000001", "workflow_name": "triage", "remarks": null, )"
            R"("create_time": "T1"})");
  const Value audit = build_audit("pb", "run0000001", "alice", "audit-node", "next-node", "T2");
  EXPECT_EQ(json_text(audit),
            R"({"workflow_uuid": "pb", "only_id": "run0000001", "user_id": "alice", )"
            R"("audit_app": "audit-node", "start_app": "next-node", "status": 0, )"
            R"("update_time": "T2", "create_time": "T2"})");
}

}  // namespace
}  // namespace vqflow::records
