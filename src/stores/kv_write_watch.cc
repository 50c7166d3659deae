#include <utility>

#include "base/errors.h"
#include "stores/kv_store.h"

namespace vqflow {

namespace {

class WriteWatchingKvStore : public KvStore {
 public:
  explicit WriteWatchingKvStore(std::shared_ptr<KvStore> inner) : inner_(std::move(inner)) {}

  std::optional<std::string> get(const std::string& key) override { return inner_->get(key); }
  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    watched([&] { inner_->set(key, value, expire_seconds); });
  }
  void set_many(const std::vector<KvWrite>& writes) override {
    watched([&] { inner_->set_many(writes); });
  }
  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    bool stored = false;
    watched([&] { stored = inner_->set_if_absent(key, value, expire_seconds); });
    return stored;
  }
  long long incr(const std::string& key) override { return inner_->incr(key); }
  long long decr(const std::string& key) override { return inner_->decr(key); }
  std::vector<long long> count_many(const std::vector<KvCount>& steps) override {
    return inner_->count_many(steps);
  }
  bool exists(const std::string& key) override { return inner_->exists(key); }
  bool del(const std::string& key) override {
    bool existed = false;
    watched([&] { existed = inner_->del(key); });
    return existed;
  }
  std::string describe() const override { return inner_->describe(); }

 private:
  template <typename Write>
  void watched(Write write) {
    try {
      write();
    } catch (const StoreError& e) {
      write_failures().failed(e.what());
      throw;
    }
    write_failures().succeeded();
  }

  std::shared_ptr<KvStore> inner_;
};

}  // namespace

std::unique_ptr<KvStore> watch_kv_writes(std::shared_ptr<KvStore> inner) {
  return std::make_unique<WriteWatchingKvStore>(std::move(inner));
}

}  // namespace vqflow
