#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "base/errors.h"
#include "rpc/rpc_registry.h"
#include "server/api.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "stores/record_writer.h"
#include "support/forwarding_kv_store.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

// A real database whose writes fail while `refuse` is set (a full disk, say):
// reads go on working.
class RefusingDatabase : public Database {
 public:
  explicit RefusingDatabase(std::shared_ptr<Database> inner) : inner_(std::move(inner)) {}
  std::atomic<bool> refuse{false};

  std::vector<Row> select(const Query& query, std::optional<long long> limit) override {
    return inner_->select(query, limit);
  }
  long long insert(const std::string& table, const Row& row) override {
    check();
    return inner_->insert(table, row);
  }
  void insert_rows(const std::vector<TableRow>& rows) override {
    check();
    inner_->insert_rows(rows);
  }
  long long update(const Query& query, const Row& changes) override {
    check();
    return inner_->update(query, changes);
  }
  long long remove(const Query& query) override {
    check();
    return inner_->remove(query);
  }
  void init_schema() override { inner_->init_schema(); }
  std::string describe() const override { return inner_->describe(); }
  std::optional<std::string> sqlite_path() const override { return inner_->sqlite_path(); }

 private:
  void check() const {
    if (refuse) throw StoreError("sqlite insert: disk I/O error");
  }
  std::shared_ptr<Database> inner_;
};

// A key-value store that reads but refuses writes while `refuse` is set.
class RefusingKv : public test::ForwardingKvStore {
 public:
  using ForwardingKvStore::ForwardingKvStore;
  std::atomic<bool> refuse{false};
  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    if (refuse) throw StoreError("redis SET " + key + ": READONLY replica");
    inner_->set(key, value, expire_seconds);
  }
};

class HealthTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_ = test::make_test_services(dir_);
    db_ = std::make_shared<RefusingDatabase>(services_->db);
    services_->db = db_;
    services_->records = std::make_shared<RecordWriter>(services_->db);
    auto kv = std::make_unique<RefusingKv>(services_->kv);
    kv_ = kv.get();
    services_->kv = watch_kv_writes(std::move(kv));
    api_ = std::make_unique<Api>(services_, &rpc_, nullptr, ApiOptions{});
  }

  std::pair<int, Value> health() {
    HttpRequest request;
    request.method = "GET";
    request.target = "/api/health";
    HttpResponse response = api_->handle(request);
    return {response.status, parse_json(response.body)};
  }

  void store_record() {
    test::run_sync(services_->records->store("workflow", Value{{"uuid", "pb"}, {"status", 0}}));
  }

  test::TempDir dir_;
  std::shared_ptr<Services> services_;
  std::shared_ptr<RefusingDatabase> db_;
  RefusingKv* kv_ = nullptr;
  RpcRegistry rpc_;
  std::unique_ptr<Api> api_;
};

TEST_F(HealthTest, FailingRecordWritesMakeTheDatabaseUnhealthyUntilOneSucceeds) {
  EXPECT_EQ(health().first, 200);
  db_->refuse = true;
  EXPECT_THROW(store_record(), StoreError);
  auto [status, body] = health();
  EXPECT_EQ(status, 503);
  EXPECT_EQ(body["status"], "failing");
  EXPECT_EQ(body["db"]["ok"], false);
  EXPECT_EQ(body["db"]["error"], "last write failed: sqlite insert: disk I/O error");
  EXPECT_EQ(body["kv"]["ok"], true);
  db_->refuse = false;
  store_record();
  EXPECT_EQ(health().first, 200);
}

TEST_F(HealthTest, FailingKeyValueWritesMakeTheKeyValueStoreUnhealthy) {
  kv_->refuse = true;
  EXPECT_THROW(services_->kv->set("lock", "me", 5), StoreError);
  auto [status, body] = health();
  EXPECT_EQ(status, 503);
  EXPECT_EQ(body["kv"]["error"], "last write failed: redis SET lock: READONLY replica");
  EXPECT_EQ(body["db"]["ok"], true);
  kv_->refuse = false;
  services_->kv->set("lock", "me", 5);
  EXPECT_EQ(health().first, 200);
}

TEST(WriteFailures, AFailureCountsOnlyWithinItsWindow) {
  WriteFailures failures;
  const auto at = WriteFailures::Clock::now();
  EXPECT_FALSE(failures.recent(std::chrono::seconds(60), at));
  failures.failed("disk full", at);
  EXPECT_EQ(failures.recent(std::chrono::seconds(60), at + std::chrono::seconds(59)), "disk full");
  EXPECT_FALSE(failures.recent(std::chrono::seconds(60), at + std::chrono::seconds(60)));
  failures.succeeded();
  EXPECT_FALSE(failures.recent(std::chrono::seconds(60), at));
}

}  // namespace
}  // namespace vqflow
