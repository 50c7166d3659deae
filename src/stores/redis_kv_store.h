#pragma once
#include <memory>
#include <string>

#include "stores/kv_store.h"

namespace vqflow {

// A Redis server named by redis://[[user]:password@]host[:port][/db] (port 6379
// and db 0 by default). One blocking connection guarded by a mutex. A failed
// command is reported (StoreError), never retried; a broken connection is
// opened afresh by the next call. Throws ConfigError for a malformed URL and
// StoreError when the server cannot be reached within the connect timeout.
std::unique_ptr<KvStore> open_redis_kv_store(const std::string& url);

}  // namespace vqflow
