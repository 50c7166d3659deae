#include <gtest/gtest.h>

#include "base/errors.h"
#include "records/escape_decoding.h"
#include "run/auto.h"
#include "scheduler/scheduler_time.h"
#include "stores/database.h"
#include "support/manual_clock.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::RecordingConnection;
using test::TempDir;

TEST(EscapeDecoding, DecodesEscapesAndKeepsOtherCharacters) {
  struct Case {
    std::string input;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {R"(\u4e2d)", "中"},
      {R"(已有 中文 \u4e2d)", "已有 中文 中"},  // non-ASCII next to an escape stays intact
      {R"(\ud83d\ude00)", "\xF0\x9F\x98\x80"},  // surrogate pair -> one character
      {R"(\ud83d x)", "\xEF\xBF\xBD x"},        // lone surrogate -> U+FFFD
      {R"(a\nb\tc\\d\'e\"f)", "a\nb\tc\\d'e\"f"},
      {R"(\x41\101\U0001F600)", "AA\xF0\x9F\x98\x80"},
      {"line\\\nnext", "linenext"},
      {R"(\q stays)", R"(\q stays)"},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_escapes(c.input), c.expected) << c.input;
}

TEST(EscapeDecoding, MalformedEscapesThrow) {
  for (std::string bad : {R"(\u12)", R"(\uzzzz)", R"(\x4)", R"(\N{DIGIT ONE})", "end\\"}) {
    EXPECT_THROW(decode_escapes(bad), ValueError) << bad;
  }
}

TEST(EscapeDecoding, DetectsUnicodeEscapesOnlyWithAWordCharacter) {
  EXPECT_TRUE(has_unicode_escape(R"(x \u4e2d)"));
  EXPECT_TRUE(has_unicode_escape(R"(\uzz)"));  // word characters, not necessarily hex
  EXPECT_FALSE(has_unicode_escape(R"(\u!)"));
  EXPECT_FALSE(has_unicode_escape("plain"));
}

class ExecutionLogs : public ::testing::Test {
 protected:
  ExecutionLogs() : services_(test::make_test_services(dir_)) {
    socket_ = std::make_shared<RecordingConnection>();
    engine_ = std::make_unique<Auto>(services_, socket_);
  }
  std::vector<Row> logs() { return services_->db->table("logs").get(); }

  TempDir dir_;
  std::shared_ptr<Services> services_;
  std::shared_ptr<RecordingConnection> socket_;
  std::unique_ptr<Auto> engine_;
};

TEST_F(ExecutionLogs, StoresAndSendsTheRecordWithMembersInOrder) {
  test::run_sync(
      engine_->add_execute_logs("pb", "node-1", "查询", "结果 ok", 0, "<span>结果 ok</span>"));
  auto rows = logs();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["only_id"], engine_->only_id);
  EXPECT_EQ(rows[0]["app_name"], "查询");
  EXPECT_EQ(rows[0]["args"], "");
  EXPECT_EQ(rows[0]["status"], 0);

  ASSERT_EQ(socket_->messages.size(), 1u);
  const std::string& live = socket_->messages[0];
  // One line, ASCII only, members in record order.
  EXPECT_EQ(live.find('\n'), std::string::npos);
  for (unsigned char c : live) EXPECT_LT(c, 0x80);
  EXPECT_EQ(
      live.rfind("{\"method\": \"execute_log\", \"data\": {\"only_id\": \"" + engine_->only_id +
                     "\", \"uuid\": \"pb\", \"app_uuid\": \"node-1\", \"app_name\": \"\\u67e5"
                     "\\u8be2\", \"result\": ",
                 0),
      0u)
      << live;
  auto parsed = parse_json(live);
  std::vector<std::string> keys;
  for (const auto& [key, value] : parsed["data"].items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"only_id", "uuid", "app_uuid", "app_name", "result",
                                            "status", "html", "args", "create_time"}));
}

TEST_F(ExecutionLogs, DecodesEscapesOfTheResultAndThenOfTheHtml) {
  test::run_sync(engine_->add_execute_logs("pb", "n", "n", R"(got \u4e2d)", 0, R"(<b>\u6587</b>)"));
  test::run_sync(engine_->add_execute_logs("pb", "n", "n", "no escape", 0, R"(<b>\u6587</b>)"));
  auto rows = logs();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0]["result"], "got 中");
  EXPECT_EQ(rows[0]["html"], "<b>文</b>");
  EXPECT_EQ(rows[1]["html"], R"(<b>\u6587</b>)");  // only a result escape triggers decoding
}

TEST_F(ExecutionLogs, CutShortEscapeLeavesBothValuesAsGiven) {
  test::run_sync(engine_->add_execute_logs("pb", "n", "n", R"(bad \uZZ)", 1, R"(\u4e2d)"));
  auto rows = logs();
  EXPECT_EQ(rows[0]["result"], R"(bad \uZZ)");
  EXPECT_EQ(rows[0]["html"], R"(\u4e2d)");
}

TEST_F(ExecutionLogs, FailingClientDoesNotStopLaterRecords) {
  socket_->fail = true;
  test::run_sync(engine_->add_execute_logs("pb", "a", "a", "one", 0, "one"));
  test::run_sync(engine_->add_execute_logs("pb", "b", "b", "two", 0, "two"));
  EXPECT_EQ(logs().size(), 2u);
  EXPECT_EQ(socket_->messages.size(), 2u);
}

TEST_F(ExecutionLogs, WithoutClientTheRecordIsStillStored) {
  Auto scheduled(services_, nullptr);
  test::run_sync(scheduled.add_execute_logs("pb", "a", "a", "one", 0, "one", "{\"x\": \"1\"}"));
  auto rows = logs();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["args"], "{\"x\": \"1\"}");
}

TEST_F(ExecutionLogs, ReportAndAuditRecords) {
  engine_->workflow_name = "triage";
  test::run_sync(engine_->add_report());
  test::run_sync(engine_->add_audit("pb", engine_->only_id, "alice", "audit-node", "next-node"));
  auto reports = services_->db->table("report").get();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["report_no"], engine_->only_id);
  EXPECT_EQ(reports[0]["workflow_name"], "triage");
  EXPECT_TRUE(reports[0]["remarks"].is_null());
  auto audits = services_->db->table("audit").get();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0]["status"], 0);
  EXPECT_EQ(audits[0]["start_app"], "next-node");
  EXPECT_EQ(audits[0]["update_time"], audits[0]["create_time"]);
}

TEST_F(ExecutionLogs, RecordsAreDatedByTheServicesClock) {
  auto clock =
      test::ManualClock::make(parse_date_time("2024-05-01 10:00:00", local_time_zone(), "now"));
  services_->clock = clock;
  ASSERT_EQ(format_local_time(now_of(*clock), local_time_zone()), "2024-05-01 10:00:00");
  test::run_sync(engine_->add_execute_logs("pb", "a", "a", "one", 0, "one"));
  clock->advance(std::chrono::seconds(61));
  test::run_sync(engine_->add_report());
  test::run_sync(engine_->add_audit("pb", engine_->only_id, "alice", "audit-node", "next-node"));
  EXPECT_EQ(logs().at(0)["create_time"], "2024-05-01 10:00:00");
  EXPECT_EQ(services_->db->table("report").get().at(0)["create_time"], "2024-05-01 10:01:01");
  Row audit = services_->db->table("audit").get().at(0);
  EXPECT_EQ(audit["create_time"], "2024-05-01 10:01:01");
  EXPECT_EQ(audit["update_time"], "2024-05-01 10:01:01");
}

}  // namespace
}  // namespace vqflow
