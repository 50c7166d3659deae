#include "stores/failure_counting.h"

#include <utility>

#include "base/errors.h"

namespace vqflow {

namespace {

// Runs `call`, counting a StoreError it throws.
template <typename Call>
auto counted(Counter& failures, Call call) -> decltype(call()) {
  try {
    return call();
  } catch (const StoreError&) {
    failures.add();
    throw;
  }
}

class CountingKvStore : public KvStore {
 public:
  CountingKvStore(std::shared_ptr<KvStore> inner, Counter& failures)
      : inner_(std::move(inner)), failures_(failures) {}

  std::optional<std::string> get(const std::string& key) override {
    return counted(failures_, [&] { return inner_->get(key); });
  }
  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    counted(failures_, [&] { inner_->set(key, value, expire_seconds); });
  }
  void set_many(const std::vector<KvWrite>& writes) override {
    counted(failures_, [&] { inner_->set_many(writes); });
  }
  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    return counted(failures_, [&] { return inner_->set_if_absent(key, value, expire_seconds); });
  }
  long long incr(const std::string& key) override {
    return counted(failures_, [&] { return inner_->incr(key); });
  }
  long long decr(const std::string& key) override {
    return counted(failures_, [&] { return inner_->decr(key); });
  }
  std::vector<long long> count_many(const std::vector<KvCount>& steps) override {
    return counted(failures_, [&] { return inner_->count_many(steps); });
  }
  bool exists(const std::string& key) override {
    return counted(failures_, [&] { return inner_->exists(key); });
  }
  bool del(const std::string& key) override {
    return counted(failures_, [&] { return inner_->del(key); });
  }
  std::string describe() const override { return inner_->describe(); }

 private:
  std::shared_ptr<KvStore> inner_;
  Counter& failures_;
};

class CountingDatabase : public Database {
 public:
  CountingDatabase(std::shared_ptr<Database> inner, Counter& failures, Counter& kv_failures)
      : inner_(std::move(inner)), failures_(failures), kv_failures_(kv_failures) {}

  std::vector<Row> select(const Query& query, std::optional<long long> limit) override {
    return counted(failures_, [&] { return inner_->select(query, limit); });
  }
  long long insert(const std::string& table, const Row& row) override {
    return counted(failures_, [&] { return inner_->insert(table, row); });
  }
  void insert_rows(const std::vector<TableRow>& rows) override {
    counted(failures_, [&] { inner_->insert_rows(rows); });
  }
  long long update(const Query& query, const Row& changes) override {
    return counted(failures_, [&] { return inner_->update(query, changes); });
  }
  long long remove(const Query& query) override {
    return counted(failures_, [&] { return inner_->remove(query); });
  }
  void replace_rows(const std::vector<Replacement>& rows) override {
    counted(failures_, [&] { inner_->replace_rows(rows); });
  }
  void init_schema() override {
    counted(failures_, [&] { inner_->init_schema(); });
  }
  std::string describe() const override { return inner_->describe(); }
  std::optional<std::string> sqlite_path() const override { return inner_->sqlite_path(); }
  std::unique_ptr<KvStore> embedded_kv() override {
    std::shared_ptr<KvStore> kv = inner_->embedded_kv();
    if (!kv) return nullptr;
    return std::make_unique<CountingKvStore>(std::move(kv), kv_failures_);
  }
  void hold_kv_commits(std::function<bool()> arrange) override {
    inner_->hold_kv_commits(std::move(arrange));
  }
  bool commit_pending() override {
    return counted(failures_, [&] { return inner_->commit_pending(); });
  }

 private:
  std::shared_ptr<Database> inner_;
  Counter& failures_;
  Counter& kv_failures_;
};

}  // namespace

std::shared_ptr<KvStore> counting_failures(std::shared_ptr<KvStore> inner, Counter& failures) {
  return std::make_shared<CountingKvStore>(std::move(inner), failures);
}

std::shared_ptr<Database> counting_failures(std::shared_ptr<Database> inner, Counter& failures,
                                            Counter& embedded_kv_failures) {
  return std::make_shared<CountingDatabase>(std::move(inner), failures, embedded_kv_failures);
}

}  // namespace vqflow
