#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "run/auto.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/echo_playbook.h"
#include "support/forwarding_kv_store.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

// Passes every call to the test's store and notes what reached it. Writes can be
// refused, and each batch of writes notes how many audit and log records were
// stored when it arrived.
class WatchedKv : public test::ForwardingKvStore {
 public:
  WatchedKv(std::shared_ptr<KvStore> inner, std::shared_ptr<Database> db)
      : ForwardingKvStore(std::move(inner)), db_(std::move(db)) {}

  std::optional<std::string> get(const std::string& key) override {
    ++reads;
    return inner_->get(key);
  }
  bool exists(const std::string& key) override {
    ++reads;
    return inner_->exists(key);
  }
  void set_many(const std::vector<KvWrite>& writes) override {
    batches.push_back(writes);
    audits_at_batch.push_back(db_->table("audit").get().size());
    logs_at_batch.push_back(db_->table("logs").get().size());
    if (refuse_writes) throw std::runtime_error("writes refused");
    inner_->set_many(writes);
  }
  std::string describe() const override { return "watched"; }

  int reads = 0;
  bool refuse_writes = false;
  std::vector<std::vector<KvWrite>> batches;
  std::vector<std::size_t> audits_at_batch;
  std::vector<std::size_t> logs_at_batch;

 private:
  std::shared_ptr<Database> db_;
};

class RunState : public ::testing::Test {
 protected:
  RunState() {
    services_ = test::make_test_services(dir_);
    test::add_echo_app(*services_, dir_);
    store_ = services_->kv;
    watched_ = std::make_shared<WatchedKv>(store_, services_->db);
    services_->kv = watched_;
  }

  std::vector<std::string> log_results() {
    std::vector<std::string> out;
    for (const auto& row : services_->db->table("logs").get())
      out.push_back(text_form(row["result"]));
    return out;
  }
  long long counter(const std::string& key) {
    auto value = store_->get(key);
    return value ? std::stoll(*value) : 0;
  }

  test::TempDir dir_;
  std::shared_ptr<Services> services_;
  std::shared_ptr<KvStore> store_;  // the store behind the watch
  std::shared_ptr<WatchedKv> watched_;
};

// Runs started one after another get identifiers that sort together, so their
// records and keys share index pages (see Random::make_order_number).
TEST_F(RunState, RunsOfOneHostTakeConsecutiveIdentifiers) {
  services_->random = std::make_shared<Random>(36 * 36 - 1);
  Auto first(services_, nullptr);
  Auto second(services_, nullptr);
  ASSERT_EQ(first.only_id.size(), 10u);
  ASSERT_EQ(second.only_id.size(), 10u);
  EXPECT_EQ(first.only_id.substr(0, 7), "00000zz");
  EXPECT_EQ(second.only_id.substr(0, 7), "0000100");
}

TEST_F(RunState, ANewRunReadsItsOwnWritesWithoutTheStore) {
  Auto run(services_, nullptr);
  const std::string key = run.run_key("A", "result");
  run.stage_kv(key, "1");
  run.stage_kv(run.run_key("A", "status"), "0");
  run.stage_kv(key, "2");  // replaces the staged write
  EXPECT_EQ(run.read_kv(key), "2");
  EXPECT_TRUE(run.kv_has(key));
  EXPECT_EQ(run.read_kv(run.run_key("B", "result")), std::nullopt);
  EXPECT_FALSE(run.kv_has(run.run_key("B", "result")));
  EXPECT_EQ(watched_->reads, 0);
  EXPECT_TRUE(watched_->batches.empty());
  EXPECT_EQ(store_->get(key), std::nullopt);  // nothing sent yet

  run.kv();
  ASSERT_EQ(watched_->batches.size(), 1u);
  EXPECT_EQ(watched_->batches[0].size(), 2u);
  EXPECT_EQ(store_->get(key), "2");
  // Once something was sent, keys missing from the stage are read from the store.
  EXPECT_EQ(run.read_kv(key), "2");
  EXPECT_EQ(watched_->reads, 1);
}

TEST_F(RunState, AResumedRunReadsTheWaitingRunsStoredState) {
  store_->set("A&&waiting01&&result", "from before the audit", 3600);
  Auto run(services_, nullptr);
  run.only_id = "waiting01";
  EXPECT_EQ(run.read_kv(run.run_key("A", "result")), "from before the audit");
  EXPECT_TRUE(run.kv_has(run.run_key("A", "result")));
  EXPECT_GT(watched_->reads, 0);
}

TEST_F(RunState, TheStageIsSentInSlicesByCountAndBytes) {
  Auto run(services_, nullptr);
  for (int i = 0; i < 300; ++i) run.stage_kv(run.run_key("n" + std::to_string(i), "v"), "x");
  ASSERT_EQ(watched_->batches.size(), 1u);
  EXPECT_EQ(watched_->batches[0].size(), 256u);
  EXPECT_EQ(run.read_kv(run.run_key("n0", "v")), "x");    // sent: read from the store
  EXPECT_EQ(run.read_kv(run.run_key("n299", "v")), "x");  // still staged

  run.stage_kv(run.run_key("big", "v"), std::string(2 << 20, 'b'));
  ASSERT_EQ(watched_->batches.size(), 2u);
  EXPECT_EQ(watched_->batches[1].size(), 45u);
  EXPECT_EQ(store_->get(run.run_key("big", "v"))->size(), std::size_t{2 << 20});
}

TEST_F(RunState, ARunSendsItsStateOnceAndBeforeItsEndRecord) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", false));
  Auto run(services_, nullptr);
  test::run_sync(run.run("pb", {}));
  EXPECT_EQ(log_results(), (std::vector<std::string>{"剧本开始执行", "a", "b", "剧本执行结束"}));
  EXPECT_EQ(watched_->reads, 0);
  ASSERT_EQ(watched_->batches.size(), 1u);
  EXPECT_EQ(watched_->logs_at_batch[0], 3u);  // start, a, b: the end record came after
  EXPECT_EQ(store_->get(run.run_key("B", "result")), "b");
  EXPECT_EQ(store_->get(run.last_result_key()), "b");
}

TEST_F(RunState, TheStateIsStoredBeforeTheAuditRecordAResumeStartsFrom) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", true));
  Auto run(services_, nullptr);
  test::run_sync(run.run("pb", {}));
  ASSERT_FALSE(watched_->batches.empty());
  EXPECT_EQ(watched_->audits_at_batch.front(), 0u);
  EXPECT_EQ(store_->get(run.run_key("A", "result")), "a");
  EXPECT_EQ(services_->db->table("audit").get().size(), 1u);
}

TEST_F(RunState, RefusedStateWritesStillEndTheRunAndLowerTheCounters) {
  services_->db->table("workflow").insert(test::echo_playbook("pb", false));
  watched_->refuse_writes = true;
  Auto run(services_, nullptr);
  test::run_sync(run.run("pb", {}));
  EXPECT_EQ(log_results(), (std::vector<std::string>{"剧本开始执行", "a", "b", "剧本执行结束"}));
  EXPECT_EQ(services_->db->table("report").get().size(), 1u);
  EXPECT_EQ(counter("exec_sum"), 0);
  EXPECT_EQ(counter("pb&&exec_sum"), 0);
}

}  // namespace
}  // namespace vqflow
