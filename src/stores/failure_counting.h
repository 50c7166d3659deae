#pragma once
#include <memory>

#include "base/metrics.h"
#include "stores/database.h"
#include "stores/kv_store.h"

namespace vqflow {

// Stores that pass every call to `inner` and add one to `failures` for each
// StoreError that comes back (the error still reaches the caller). `failures`
// must outlive the store. As thread-safe as `inner`.
std::shared_ptr<KvStore> counting_failures(std::shared_ptr<KvStore> inner, Counter& failures);
std::shared_ptr<Database> counting_failures(std::shared_ptr<Database> inner, Counter& failures,
                                            Counter& embedded_kv_failures);

}  // namespace vqflow
