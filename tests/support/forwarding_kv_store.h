#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stores/kv_store.h"

namespace vqflow::test {

// Passes every call to `inner`; fakes override the calls they watch or refuse.
class ForwardingKvStore : public KvStore {
 public:
  explicit ForwardingKvStore(std::shared_ptr<KvStore> inner) : inner_(std::move(inner)) {}

  std::optional<std::string> get(const std::string& key) override { return inner_->get(key); }
  bool exists(const std::string& key) override { return inner_->exists(key); }
  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    inner_->set(key, value, expire_seconds);
  }
  void set_many(const std::vector<KvWrite>& writes) override { inner_->set_many(writes); }
  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    return inner_->set_if_absent(key, value, expire_seconds);
  }
  long long incr(const std::string& key) override { return inner_->incr(key); }
  long long decr(const std::string& key) override { return inner_->decr(key); }
  bool del(const std::string& key) override { return inner_->del(key); }
  std::string describe() const override { return "forwarding to " + inner_->describe(); }

 protected:
  std::shared_ptr<KvStore> inner_;
};

}  // namespace vqflow::test
