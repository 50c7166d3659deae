#include "run/run_admission.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "run/auto.h"
#include "run/auto_execute.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/echo_playbook.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::run_sync;
using test::TempDir;

Row audit_row(long long id, const std::string& node, long long status,
              const std::string& decider = "") {
  Row row = Value::object();
  row["id"] = id;
  row["audit_app"] = node;
  row["start_app"] = "B";
  row["status"] = status;
  row["decider"] = decider.empty() ? Value() : Value(decider);
  row["update_time"] = "2026-12-08 10:00:00";
  return row;
}

TEST(CheckDecision, AcceptsOnlyAPendingRowAndANodeAfterTheAuditNode) {
  const Value links = Value::array({Value::array({"A", "U"}), Value::array({"U", "B"}),
                                    Value::array({"U", "C"}), Value::array({"B", "E"})});
  struct Case {
    const char* name;
    std::string status;
    std::string node;
    std::optional<std::string> start_app;
    std::vector<Row> rows;
    const char* refusal;  // a part of the reason, or null when accepted
    std::string start;    // the node an accepted approval continues from
  };
  const std::vector<Case> cases = {
      {"approval of a waiting run",
       "1",
       "U",
       std::string("B"),
       {audit_row(4, "U", 0)},
       nullptr,
       "B"},
      {"another successor", "1", "U", std::string("C"), {audit_row(4, "U", 0)}, nullptr, "C"},
      {"no start_app: the row's", "1", "U", std::nullopt, {audit_row(4, "U", 0)}, nullptr, "B"},
      {"rejection", "2", "U", std::nullopt, {audit_row(4, "U", 0)}, nullptr, "B"},
      {"no waiting run", "1", "U", std::string("B"), {}, "never waited", ""},
      {"wrong node",
       "1",
       "X",
       std::string("B"),
       {audit_row(4, "U", 0)},
       "waits at audit node U, not at X",
       ""},
      {"replay of an approval",
       "1",
       "U",
       std::string("B"),
       {audit_row(4, "U", 1, "alice")},
       "made already (approved by alice at 2026-12-08 10:00:00)",
       ""},
      {"approval after a rejection",
       "1",
       "U",
       std::string("B"),
       {audit_row(4, "U", 2, "bob")},
       "made already (rejected by bob",
       ""},
      {"jump past the gate",
       "1",
       "U",
       std::string("E"),
       {audit_row(4, "U", 0)},
       "start_app E does not follow audit node U",
       ""},
      {"back to the gate itself",
       "1",
       "U",
       std::string("U"),
       {audit_row(4, "U", 0)},
       "does not follow",
       ""},
      {"no decision", "3", "U", std::string("B"), {audit_row(4, "U", 0)}, "is no decision", ""},
      {"absent decision",
       "None",
       "U",
       std::string("B"),
       {audit_row(4, "U", 0)},
       "is no decision",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AuditDecision decision{"pb", "run0000001", c.node, c.status, "alice", c.start_app};
    DecisionCheck check = check_decision(decision, DecisionFacts{c.rows, links});
    if (c.refusal == nullptr) {
      ASSERT_FALSE(check.refusal) << *check.refusal;
      EXPECT_EQ(check.row_id, 4);
      EXPECT_EQ(check.start_app, c.start);
    } else {
      ASSERT_TRUE(check.refusal);
      EXPECT_NE(check.refusal->find(c.refusal), std::string::npos) << *check.refusal;
    }
  }
}

TEST(CheckDecision, TwoPendingRowsOfOneNodeAreDecidedOneAtATime) {
  // An audit node inside a loop body waits once per element.
  const Value links = Value::array({Value::array({"U", "B"})});
  AuditDecision decision{"pb", "r", "U", "1", "ann", std::nullopt};
  DecisionCheck check =
      check_decision(decision, DecisionFacts{{audit_row(2, "U", 1), audit_row(3, "U", 0)}, links});
  ASSERT_FALSE(check.refusal);
  EXPECT_EQ(check.row_id, 3);
}

// A waiting run of the echo playbook (S -> A -> U -> B -> E) in `services`.
std::string waiting_run(std::shared_ptr<Services> services, const std::string& uuid) {
  Auto engine(services, nullptr);
  run_sync(engine.run(uuid, {}));
  EXPECT_EQ(engine.waiting_at, std::optional<std::string>("U"));
  return engine.only_id;
}

class Decisions : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    services_ = test::make_test_services(dir_);
    if (GetParam() == "postgres") {
      auto url = test::live_pg_url();
      auto redis = test::live_redis_url();
      if (!url || !redis) GTEST_SKIP() << "VQFLOW_TEST_PG / VQFLOW_TEST_REDIS not set";
      services_->db = open_database(*url);
      services_->db->init_schema();
      services_->records = std::make_shared<RecordWriter>(services_->db);
      services_->kv = open_kv_store(*redis, std::nullopt);
    }
    test::add_echo_app(*services_, dir_);
    uuid_ = "pb-" + dir_.path().filename().string();
    services_->db->table("workflow").insert(test::echo_playbook(uuid_, true));
  }

  RunRequest decision(const std::string& only_id, const std::string& status,
                      std::optional<std::string> start_app = "B") {
    RunRequest request;
    request.audit_app = "U";
    request.audit_status = Value(status);
    request.only_id = only_id;
    request.user = "intruder";
    request.start_app = std::move(start_app);
    return request;
  }
  std::size_t log_count(const std::string& only_id) {
    return services_->db->table("logs").where("only_id", only_id).get().size();
  }
  std::string counter() { return services_->kv->get(uuid_ + "&&exec_sum").value_or("0"); }

  TempDir dir_;
  std::shared_ptr<Services> services_;
  std::string uuid_;
};

TEST_P(Decisions, ForgedReplayedAndRacingDecisionsRunNothing) {
  boost::asio::io_context ioc;
  services_->executor = ioc.get_executor();

  // No run ever waited under this id: refused before anything is submitted.
  EXPECT_THROW(auto_execute(services_, uuid_, nullptr, decision("aaaaaaaaaa", "1")), DecisionError);
  ioc.run();
  ioc.restart();
  EXPECT_EQ(log_count("aaaaaaaaaa"), 0u);

  const std::string only_id = waiting_run(services_, uuid_);
  const std::size_t waiting_records = log_count(only_id);
  // Jumping past the gate is refused; so is a decision at a node it does not wait at.
  EXPECT_THROW(auto_execute(services_, uuid_, nullptr, decision(only_id, "1", "E")), DecisionError);
  RunRequest elsewhere = decision(only_id, "1");
  elsewhere.audit_app = "A";
  EXPECT_THROW(auto_execute(services_, uuid_, nullptr, elsewhere), DecisionError);
  EXPECT_EQ(log_count(only_id), waiting_records);

  // Two decisions at once: exactly one is accepted.
  std::atomic<int> accepted = 0;
  std::atomic<int> refused = 0;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      AuditDecision d{uuid_,       only_id, "U", i % 2 == 0 ? "1" : "2", "user" + std::to_string(i),
                      std::nullopt};
      try {
        accept_decision(*services_, d);
        ++accepted;
      } catch (const DecisionError&) {
        ++refused;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(refused, 3);
  auto rows = services_->db->table("audit").where("only_id", only_id).get();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_NE(rows[0]["status"], 0);
  EXPECT_TRUE(rows[0]["decider"].is_string());
  EXPECT_EQ(rows[0]["decider"].get<std::string>().rfind("user", 0), 0u);

  // The decided gate stays closed to a replay, through the engine's own entry too.
  EXPECT_THROW(auto_execute(services_, uuid_, nullptr, decision(only_id, "1")), DecisionError);
  Auto engine(services_, nullptr);
  RunArguments args;
  args.audit_app = "U";
  args.audit_status = Value("1");
  args.only_id = only_id;
  args.start_app = "B";
  run_sync(engine.run(uuid_, args));
  EXPECT_FALSE(engine.started);
  EXPECT_EQ(log_count(only_id), waiting_records);
  EXPECT_EQ(counter(), "0");
}

TEST_P(Decisions, AnAcceptedApprovalRecordsTheDeciderAndRunsTheRestOnce) {
  boost::asio::io_context ioc;
  services_->executor = ioc.get_executor();
  const std::string only_id = waiting_run(services_, uuid_);
  RunOutcome outcome;
  auto_execute(services_, uuid_, nullptr, decision(only_id, "1", std::nullopt),
               [&](const RunOutcome& o) { outcome = o; });
  ioc.run();
  EXPECT_EQ(outcome.state, "done");
  auto rows = services_->db->table("audit").where("only_id", only_id).get();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]["status"], 1);
  EXPECT_EQ(rows[0]["decider"], "intruder");
  EXPECT_EQ(rows[0]["user_id"], "auditor-7");  // the approver assigned, left as it was
  auto logs = services_->db->table("logs").where("only_id", only_id).get();
  ASSERT_GE(logs.size(), 3u);
  EXPECT_EQ(logs[logs.size() - 3]["result"], "【intruder】通过了该剧本执行");
  EXPECT_EQ(logs.back()["result"], "剧本执行结束");
}

INSTANTIATE_TEST_SUITE_P(Embedded, Decisions, ::testing::Values("sqlite"));
INSTANTIATE_TEST_SUITE_P(Live, Decisions, ::testing::Values("postgres"));

}  // namespace
}  // namespace vqflow
