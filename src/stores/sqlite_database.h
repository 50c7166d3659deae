#pragma once
#include <memory>
#include <string>

#include "stores/database.h"

namespace vqflow {

// The embedded relational store: one SQLite file (WAL, busy timeout), one
// connection guarded by a mutex. Throws StoreError when the file cannot be
// opened, is locked, read-only or not a database.
std::unique_ptr<Database> open_sqlite_database(const std::string& path);

}  // namespace vqflow
