#pragma once
#include <memory>

#include "stores/kv_store.h"

namespace vqflow {

// An in-process store (memory://) with the semantics of the others; for tests,
// benchmarks and single-process use. Thread-safe; state dies with the object.
// `clock` gives the time that expiry is measured against.
std::unique_ptr<KvStore> make_memory_kv_store(KvClock clock = system_clock_ms);

}  // namespace vqflow
