#pragma once
#include <memory>
#include <string>

#include "base/clock.h"
#include "stores/kv_store.h"

namespace vqflow {

// The embedded key-value store: the table kv inside the SQLite file `path`, so
// state outlives the process and is shared by every process using the file.
// incr/decr/set_if_absent run under the file's write lock (atomic across
// processes); expired keys read as missing and are swept now and then.
// Thread-safe. Expiry is measured against the wall time of `clock`.
std::unique_ptr<KvStore> open_sqlite_kv_store(const std::string& path,
                                              std::shared_ptr<const Clock> clock = real_clock());

// The same over a connection shared with the relational tables of the file.
class SharedSqlite;
std::unique_ptr<KvStore> open_sqlite_kv_store(std::shared_ptr<SharedSqlite> shared,
                                              std::shared_ptr<const Clock> clock = real_clock());

// CREATE TABLE IF NOT EXISTS statement of the kv table.
std::string sqlite_kv_table_sql();

}  // namespace vqflow
