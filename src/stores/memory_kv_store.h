#pragma once
#include <memory>

#include "base/clock.h"
#include "stores/kv_store.h"

namespace vqflow {

// An in-process store (memory://) with the semantics of the others; for tests,
// benchmarks and single-process use. Thread-safe; state dies with the object.
// Expiry is measured against the wall time of `clock`.
std::unique_ptr<KvStore> make_memory_kv_store(std::shared_ptr<const Clock> clock = real_clock());

}  // namespace vqflow
