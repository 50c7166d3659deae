#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "support/forwarding_kv_store.h"

namespace vqflow::test {

// Passes every call to `inner`, except reads or batched writes that the test
// tells it to refuse: those throw StoreError as a store that lost its
// connection would. Counts the batches it is sent.
class RefusingKvStore : public ForwardingKvStore {
 public:
  using ForwardingKvStore::ForwardingKvStore;

  std::optional<std::string> get(const std::string& key) override {
    if (refuse_reads) throw StoreError("kv GET " + key + ": connection refused");
    return inner_->get(key);
  }
  bool exists(const std::string& key) override {
    if (refuse_reads) throw StoreError("kv EXISTS " + key + ": connection refused");
    return inner_->exists(key);
  }
  void set_many(const std::vector<KvWrite>& writes) override {
    ++batches;
    if (refuse_batches) throw StoreError("kv SET (batch): connection refused");
    inner_->set_many(writes);
  }

  bool refuse_reads = false;
  bool refuse_batches = false;
  int batches = 0;
};

}  // namespace vqflow::test
