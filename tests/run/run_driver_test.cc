#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <functional>
#include <map>
#include <thread>

#include "base/errors.h"
#include "run/auto.h"
#include "run/auto_execute.h"
#include "run/run_admission.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/echo_playbook.h"
#include "support/fake_app_loader.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using test::FakeAppLoader;
using test::RecordingConnection;
using test::run_sync;
using test::TempDir;

class RunDriver : public ::testing::Test {
 protected:
  RunDriver() {
    services_ = test::make_test_services(dir_);
    test::add_echo_app(*services_, dir_);
  }

  std::vector<Row> logs() { return services_->db->table("logs").get(); }
  std::vector<std::string> log_results() {
    std::vector<std::string> out;
    for (const auto& row : logs()) out.push_back(text_form(row["result"]));
    return out;
  }
  long long counter(const std::string& key) {
    auto value = services_->kv->get(key);
    return value ? std::stoll(*value) : 0;
  }
  std::optional<bool> run(const std::string& uuid, RunArguments args = {},
                          std::shared_ptr<ClientConnection> socket = nullptr) {
    engine_ = std::make_unique<Auto>(services_, socket);
    return run_sync(engine_->run(uuid, std::move(args)));
  }

  TempDir dir_;
  std::shared_ptr<Services> services_;
  std::unique_ptr<Auto> engine_;
};

TEST_F(RunDriver, FinishedRunWritesStartNodesEndAndOneReport) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", false));
  auto socket = std::make_shared<RecordingConnection>();
  EXPECT_EQ(run("pb", {}, socket), std::nullopt);
  EXPECT_EQ(log_results(), (std::vector<std::string>{"剧本开始执行", "a", "b", "剧本执行结束"}));
  EXPECT_EQ(socket->messages.size(), 4u);
  auto reports = services_->db->table("report").get();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["report_no"], engine_->only_id);
  EXPECT_EQ(reports[0]["workflow_name"], "test playbook");
  EXPECT_EQ(counter("exec_sum"), 0);
  EXPECT_EQ(counter("pb&&exec_sum"), 0);
}

TEST_F(RunDriver, RefusedRunsRaiseNoCounterAndStoreNothing) {
  Row disabled = test::echo_playbook("off", false);
  disabled["status"] = 1;
  services_->db->table("workflow").insert(disabled);
  EXPECT_EQ(run("off"), std::optional<bool>(false));
  EXPECT_EQ(run("missing"), std::nullopt);
  EXPECT_TRUE(logs().empty());
  EXPECT_TRUE(services_->db->table("runs").get().empty());
  EXPECT_EQ(counter("exec_sum"), 0);
  EXPECT_EQ(counter("off&&exec_sum"), 0);
  EXPECT_EQ(counter("missing&&exec_sum"), 0);
}

TEST_F(RunDriver, CountersNeverEndBelowZeroNorStayRaisedByARunThatCouldNotStart) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", false));
  // Left below zero by an earlier fault: the run's own decrement sets them to zero.
  services_->kv->set("exec_sum", "-3");
  services_->kv->set("pb&&exec_sum", "-1");
  run("pb");
  EXPECT_EQ(services_->kv->get("exec_sum"), "0");
  EXPECT_EQ(services_->kv->get("pb&&exec_sum"), "0");

  // One counter holds a text: the run, stored already, is aborted with the
  // store's reason before any step, and the counter it did raise is lowered again.
  services_->kv->set("exec_sum", "abc");
  run("pb");
  ASSERT_TRUE(engine_->aborted);
  EXPECT_EQ(services_->kv->get("exec_sum"), "abc");
  EXPECT_EQ(counter("pb&&exec_sum"), 0);
  auto results = log_results();
  ASSERT_EQ(results.size(), 6u);  // the first run's four, then the abort and the end
  EXPECT_EQ(results[4].rfind("[运行错误] ", 0), 0u) << results[4];
  EXPECT_EQ(results[5], "剧本执行结束");
  auto state = services_->db->table("runs").where("only_id", engine_->only_id).first();
  ASSERT_TRUE(state);
  EXPECT_EQ((*state)["state"], "aborted");
}

TEST_F(RunDriver, AbortedRunsSayWhyBeforeTheirEndRecordAndReport) {
  struct Case {
    const char* name;
    std::function<void(Row&)> spoil;
    const char* reason;  // a part of the abort record's text
  };
  const std::vector<Case> cases = {
      {"flow document not JSON", [](Row& r) { r["flow_json"] = "{not json"; },
       "playbook field \"flow_json\" is not valid JSON"},
      {"no cells", [](Row& r) { r["flow_json"] = "{}"; }, "flow_json has no \"cells\""},
      {"broken cell", [](Row& r) { r["flow_json"] = R"({"cells": [{"shape": "vqEdge"}]})"; },
       "\"source\" is missing"},
      {"cycle",
       [](Row& r) {
         r["flow_json"] = R"({"cells": [
           {"shape": "vqEdge", "source": {"cell": "S"}, "target": {"cell": "A"}},
           {"shape": "vqEdge", "source": {"cell": "A"}, "target": {"cell": "B"}},
           {"shape": "vqEdge", "source": {"cell": "B"}, "target": {"cell": "A"}},
           {"shape": "vqEdge", "source": {"cell": "B"}, "target": {"cell": "E"}}]})";
       },
       "cycle"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string uuid = "bad" + std::to_string(n++);
    Row broken = test::echo_playbook(uuid, false);
    c.spoil(broken);
    services_->db->table("workflow").insert(broken);
    run(uuid);
    EXPECT_EQ(engine_->aborted.has_value(), true);
    auto rows = services_->db->table("logs").where("only_id", engine_->only_id).get();
    ASSERT_GE(rows.size(), 2u);
    const Row& abort = rows[rows.size() - 2];
    EXPECT_EQ(abort["status"], 1);
    EXPECT_EQ(abort["app_uuid"], "");
    EXPECT_EQ(abort["app_name"], "test playbook");
    const std::string text = text_form(abort["result"]);
    EXPECT_EQ(text.rfind("[运行错误] ", 0), 0u) << text;
    EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    EXPECT_EQ(abort["html"], "<span>" + text + "</span>");
    EXPECT_EQ(rows.back()["result"], "剧本执行结束");
    EXPECT_EQ(services_->db->table("report").where("report_no", engine_->only_id).get().size(), 1u);
  }
  EXPECT_EQ(counter("exec_sum"), 0);
}

TEST_F(RunDriver, MorePathsThanTheBoundAbortTheRun) {
  services_->config.max_paths = 1;
  Row two_routes = test::echo_playbook("wide", false);
  two_routes["flow_json"] = R"({"cells": [
    {"shape": "vqEdge", "source": {"cell": "S"}, "target": {"cell": "A"}},
    {"shape": "vqEdge", "source": {"cell": "S"}, "target": {"cell": "B"}},
    {"shape": "vqEdge", "source": {"cell": "A"}, "target": {"cell": "E"}},
    {"shape": "vqEdge", "source": {"cell": "B"}, "target": {"cell": "E"}}]})";
  services_->db->table("workflow").insert(two_routes);
  run("wide");
  ASSERT_TRUE(engine_->aborted);
  const auto results = log_results();
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[1].rfind("[运行错误] ", 0), 0u) << results[1];
  EXPECT_EQ(results[2], "剧本执行结束");
}

TEST_F(RunDriver, AuditDecisionBranches) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", true));
  struct Case {
    std::optional<Value> status;
    std::vector<std::string> added;  // empty: refused, nothing written
  };
  const std::vector<Case> cases = {
      {Value("2"), {"【alice】拒绝了该剧本执行", "剧本执行结束"}},
      {Value(7), {}},
      {std::nullopt, {}},
      {Value(1), {"【alice】通过了该剧本执行", "b", "剧本执行结束"}},
  };
  for (const auto& c : cases) {
    run("pb");
    const std::string waiting_id = engine_->only_id;
    EXPECT_EQ(log_results().back(), "剧本等待审核...");
    auto audits = services_->db->table("audit").where("only_id", waiting_id).get();
    ASSERT_EQ(audits.size(), 1u);
    EXPECT_EQ(audits[0]["user_id"], "auditor-7");
    EXPECT_EQ(audits[0]["start_app"], "B");

    const std::size_t before = logs().size();
    RunArguments args;
    args.audit_status = c.status;
    args.audit_app = "U";
    args.only_id = waiting_id;
    args.user = "alice";
    args.start_app = "B";
    run("pb", args);
    auto rows = logs();
    std::vector<std::string> added;
    for (std::size_t i = before; i < rows.size(); ++i) {
      added.push_back(text_form(rows[i]["result"]));
      EXPECT_EQ(rows[i]["only_id"], waiting_id);
    }
    EXPECT_EQ(added, c.added) << (c.status ? text_form(*c.status) : "absent");
    const bool decided = !c.added.empty();
    EXPECT_EQ(services_->db->table("audit").where("only_id", waiting_id).get()[0]["status"],
              decided ? text_form(*c.status) == "1" ? 1 : 2 : 0);
    EXPECT_EQ(services_->db->table("report").where("report_no", waiting_id).get().size(),
              decided ? 1u : 0u);
  }
  EXPECT_EQ(counter("exec_sum"), 0);
}

TEST_F(RunDriver, EmptyAuditAppStartsAFreshRun) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", false));
  RunArguments args;
  args.audit_app = "";
  args.only_id = "ignored-id";
  args.audit_status = "1";
  run("pb", args);
  EXPECT_NE(engine_->only_id, "ignored-id");
  EXPECT_EQ(log_results().front(), "剧本开始执行");
}

TEST_F(RunDriver, AutoExecutePreparesInputDataAndRefusesBadSettings) {
  Row playbook = test::echo_playbook("pb", false);
  services_->db->table("workflow").insert(playbook);
  boost::asio::io_context ioc;
  services_->executor = ioc.get_executor();

  RunRequest request;
  request.controller_data = Value("[1, 2]");
  EXPECT_THROW(auto_execute(services_, "pb", nullptr, request), ConfigError);
  request.controller_data = Value("{not json");
  EXPECT_THROW(auto_execute(services_, "pb", nullptr, request), ConfigError);

  RunRequest resume;
  resume.audit_app = "U";
  EXPECT_THROW(auto_execute(services_, "pb", nullptr, resume), ConfigError);

  RunRequest input;
  input.controller_data = Value(R"({"X": {"node_name": "input", "text": "old"}})");
  input.data = Value{{"ip", "中"}};  // a map is stored as its JSON text
  input.app_uuid = "X";
  int finished = 0;
  const std::string id = auto_execute(services_, "pb", nullptr, input,
                                      [&](const RunOutcome& o) { finished += o.error ? 100 : 1; });
  EXPECT_EQ(id.size(), 10u);
  EXPECT_EQ(finished, 0);  // submitted, not run
  ioc.run();
  EXPECT_EQ(finished, 1);
  EXPECT_EQ(services_->kv->get("X&&" + id + "&&text"), R"({"ip": "\u4e2d"})");
}

// What a 202 waits for: told once, after the run's row is stored and before
// its first step; a run that does not start tells why.
TEST_F(RunDriver, AutoExecuteTellsOnceWhenTheRunIsStoredOrWhyNot) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", false));
  Row disabled = test::echo_playbook("off", false);
  disabled["status"] = 1;
  services_->db->table("workflow").insert(disabled);
  boost::asio::io_context ioc;
  services_->executor = ioc.get_executor();
  struct Told {
    int times = 0;
    std::string state;        // of the run's row when told
    std::size_t records = 0;  // the run's log records by then
    std::string failure;
  };
  std::map<std::string, Told> told;
  for (const char* uuid : {"pb", "off", "gone"}) {
    auto_execute(services_, uuid, nullptr, {}, nullptr, [&, uuid](std::exception_ptr e) {
      Told& t = told[uuid];
      ++t.times;
      auto row = services_->db->table("runs").where("uuid", uuid).first();
      if (row) t.state = text_form((*row)["state"]);
      t.records = services_->db->table("logs").where("uuid", uuid).get().size();
      try {
        if (e) std::rethrow_exception(e);
      } catch (const PlaybookDisabledError&) {
        t.failure = "disabled";
      } catch (const PlaybookMissingError&) {
        t.failure = "missing";
      }
    });
  }
  ioc.run();
  EXPECT_EQ(told["pb"].times, 1);
  EXPECT_EQ(told["pb"].state, "running");
  EXPECT_EQ(told["pb"].records, 0u);
  EXPECT_EQ(told["pb"].failure, "");
  EXPECT_EQ(told["off"].times, 1);
  EXPECT_EQ(told["off"].failure, "disabled");
  EXPECT_EQ(told["gone"].times, 1);
  EXPECT_EQ(told["gone"].failure, "missing");
  EXPECT_EQ(log_results().size(), 4u);  // only "pb" ran
}

TEST(RunDriverLive, CountersStayExactUnderConcurrentRunsOnRedis) {
  auto url = test::live_redis_url();
  if (!url) GTEST_SKIP() << "VQFLOW_TEST_REDIS not set";
  TempDir dir;
  auto services = test::make_test_services(dir);
  services->kv = open_kv_store(*url, std::nullopt);
  const std::string uuid = "pb-" + dir.path().filename().string();
  services->db->table("workflow").insert(test::echo_playbook(uuid, false));
  auto apps = std::make_shared<FakeAppLoader>();
  services->apps = apps;  // no app folder: the nodes fail, the runs still close

  const long long global_before = [&] {
    auto v = services->kv->get("exec_sum");
    return v ? std::stoll(*v) : 0;
  }();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        Auto engine(services, nullptr);
        run_sync(engine.run(uuid, {}));
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(services->kv->get(uuid + "&&exec_sum").value_or("0"), "0");
  auto global_after = services->kv->get("exec_sum");
  EXPECT_LE(std::stoll(global_after.value_or("0")), std::max(global_before, 0LL));
  EXPECT_EQ(services->db->table("report").get().size(), 40u);
}

}  // namespace
}  // namespace vqflow
