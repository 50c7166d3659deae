#include "stores/sqlite_connection.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <sqlite3.h>

#include <limits>

#include "base/errors.h"

namespace vqflow {

namespace {

std::string advice(int rc) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return fmt::format(
          "another connection held the write lock for more than {} ms: "
          "stop the other process or try again",
          k_sqlite_busy_timeout_ms);
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
      return "restore it from a backup, or move it away and run `vqflow db init`";
    case SQLITE_READONLY:
      return "the database is read-only: make the file, its -wal/-shm files and its folder "
             "writable";
    case SQLITE_CANTOPEN:
      return "check that the folder exists and that the file and folder are writable";
    case SQLITE_FULL:
      return "free some disk space";
    case SQLITE_IOERR:
      return "check the disk and the file's permissions";
    case SQLITE_PERM:
    case SQLITE_AUTH:
      return "check the file's permissions";
    case SQLITE_CONSTRAINT:
      return "the value does not fit the column";
    default:
      return "";
  }
}

}  // namespace

SqliteConnection::SqliteConnection(std::string path) : path_(std::move(path)) {
  int rc =
      sqlite3_open_v2(path_.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    // Keep the handle until the message is read, then close it.
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> guard(db_, sqlite3_close_v2);
    fail("open", rc);
  }
  try {
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, k_sqlite_busy_timeout_ms);
    if (sqlite3_db_readonly(db_, "main") == 1) fail("open", SQLITE_READONLY);
    // Touching the schema reads the header: a file that is not a database fails here.
    // Durability as WAL + synchronous=NORMAL always gives; a 32 MiB page cache
    // keeps the tables and indexes of a busy file in memory.
    exec(fmt::format(
        "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; "
        "PRAGMA cache_size=-32768; PRAGMA temp_store=MEMORY; PRAGMA wal_autocheckpoint={}; "
        "SELECT count(*) FROM sqlite_schema;",
        k_sqlite_checkpoint_frames));
  } catch (...) {
    statements_.clear();
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw;
  }
}

SqliteConnection::~SqliteConnection() {
  statements_.clear();
  if (db_ != nullptr) sqlite3_close_v2(db_);
}

void SqliteConnection::fail(std::string_view doing, int rc) const {
  std::string cause =
      db_ != nullptr && sqlite3_errcode(db_) == rc ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
  std::string fix = advice(rc);
  throw StoreError(
      fmt::format("sqlite {}: {}: {}{}{}", path_, doing, cause, fix.empty() ? "" : ": ", fix));
}

void SqliteConnection::exec(const std::string& sql) {
  char* message = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    std::string cause = message != nullptr ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    std::string fix = advice(rc);
    throw StoreError(fmt::format("sqlite {}: {}: {}{}{}", path_, sql.substr(0, 60), cause,
                                 fix.empty() ? "" : ": ", fix));
  }
}

SqliteStatementUse SqliteConnection::statement(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it == statements_.end()) {
    // Query texts differ only by shape (names, number of conditions), so the cache stays
    // small; the bound keeps a stream of unusual shapes from growing it without end.
    if (statements_.size() >= 256) statements_.clear();
    it = statements_.emplace(sql, std::make_unique<SqliteStatement>(*this, sql)).first;
  }
  return SqliteStatementUse(*it->second);
}

long long SqliteConnection::changes() const { return sqlite3_changes64(db_); }

long long SqliteConnection::last_insert_id() const { return sqlite3_last_insert_rowid(db_); }

SqliteStatement::SqliteStatement(SqliteConnection& connection, std::string_view sql)
    : connection_(&connection), sql_(sql) {
  if (sql.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw StoreError("sqlite: statement too long");
  }
  int rc = sqlite3_prepare_v2(connection.handle(), sql.data(), static_cast<int>(sql.size()), &stmt_,
                              nullptr);
  if (rc != SQLITE_OK) connection.fail(fmt::format("prepare {}", sql_), rc);
}

SqliteStatement::~SqliteStatement() { sqlite3_finalize(stmt_); }

void SqliteStatement::bind(int index, const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
      bind_null(index);
      return;
    case Value::value_t::boolean:
      bind_int(index, value.get<bool>() ? 1 : 0);
      return;
    case Value::value_t::number_integer:
      bind_int(index, value.get<long long>());
      return;
    case Value::value_t::number_unsigned: {
      auto number = value.get<unsigned long long>();
      if (number > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
        throw StoreError(fmt::format("sqlite {}: integer {} is too large to store",
                                     connection_->path(), number));
      }
      bind_int(index, static_cast<long long>(number));
      return;
    }
    case Value::value_t::number_float: {
      int rc = sqlite3_bind_double(stmt_, index, value.get<double>());
      if (rc != SQLITE_OK) connection_->fail("bind", rc);
      return;
    }
    case Value::value_t::string:
      bind_text(index, value.get_ref<const std::string&>());
      return;
    case Value::value_t::binary: {
      const auto& bytes = value.get_binary();
      bind_blob(index, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      return;
    }
    default:
      throw StoreError(
          fmt::format("sqlite {}: a list or map cannot be stored in a column: store "
                      "its JSON text instead",
                      connection_->path()));
  }
}

void SqliteStatement::bind_text(int index, std::string_view text) {
  int rc =
      sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) connection_->fail("bind", rc);
}

void SqliteStatement::bind_blob(int index, std::string_view bytes) {
  int rc = sqlite3_bind_blob64(stmt_, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) connection_->fail("bind", rc);
}

void SqliteStatement::bind_int(int index, long long number) {
  int rc = sqlite3_bind_int64(stmt_, index, number);
  if (rc != SQLITE_OK) connection_->fail("bind", rc);
}

void SqliteStatement::bind_null(int index) {
  int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) connection_->fail("bind", rc);
}

bool SqliteStatement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  connection_->fail(sql_.size() > 60 ? sql_.substr(0, 60) + "..." : sql_, rc);
}

void SqliteStatement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int SqliteStatement::column_count() const { return sqlite3_column_count(stmt_); }

bool SqliteStatement::column_is_null(int index) const {
  return sqlite3_column_type(stmt_, index) == SQLITE_NULL;
}

long long SqliteStatement::column_int(int index) const {
  return sqlite3_column_int64(stmt_, index);
}

std::string SqliteStatement::column_bytes(int index) const {
  const void* data = sqlite3_column_blob(stmt_, index);
  int size = sqlite3_column_bytes(stmt_, index);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
}

Value SqliteStatement::column_value(int index) const {
  switch (sqlite3_column_type(stmt_, index)) {
    case SQLITE_INTEGER:
      return Value(static_cast<long long>(sqlite3_column_int64(stmt_, index)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(stmt_, index));
    case SQLITE_NULL:
      return Value(nullptr);
    default:
      return Value(column_bytes(index));
  }
}

SqliteTransaction::SqliteTransaction(SqliteConnection& connection) : connection_(connection) {
  connection_.statement("BEGIN IMMEDIATE")->step();
}

SqliteTransaction::~SqliteTransaction() {
  if (!done_) sqlite3_exec(connection_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void SqliteTransaction::commit() {
  connection_.statement("COMMIT")->step();
  done_ = true;
}

SharedSqlite::~SharedSqlite() {
  try {
    commit_pending();
  } catch (const std::exception& e) {
    spdlog::error("{}", e.what());
  }
}

bool SharedSqlite::holding() {
  // A failed statement (disk full, I/O error) may have rolled the whole
  // transaction back; its earlier writes are then gone.
  if (held_ && sqlite3_get_autocommit(connection.handle()) != 0) {
    held_ = false;
    spdlog::error("sqlite {}: held-back writes were rolled back by a failed statement",
                  connection.path());
  }
  return held_;
}

bool SharedSqlite::commit_pending() {
  if (!holding()) return false;
  held_ = false;
  try {
    connection.statement("COMMIT")->step();
  } catch (...) {
    if (sqlite3_get_autocommit(connection.handle()) == 0) {
      sqlite3_exec(connection.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    throw;
  }
  return true;
}

SqliteWrite::SqliteWrite(SharedSqlite& shared) : shared_(shared) {
  if (shared_.holding()) return;
  shared_.connection.statement("BEGIN IMMEDIATE")->step();
  began_ = true;
}

SqliteWrite::~SqliteWrite() {
  if (done_) return;
  if (began_) {
    sqlite3_exec(shared_.connection.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  } else {
    shared_.holding();  // notes a transaction that the failure rolled back
  }
}

void SqliteWrite::finish(bool may_hold) {
  done_ = true;
  const auto now = shared_.clock_->steady_now();
  if (began_) {
    shared_.held_units_ = 0;
    shared_.held_since_ = now;
  }
  bool hold = false;
  if (may_hold && shared_.arrange_ && ++shared_.held_units_ < SharedSqlite::k_max_held_units &&
      now - shared_.held_since_ < SharedSqlite::k_max_held_time) {
    try {
      hold = shared_.arrange_();
    } catch (const std::exception& e) {
      spdlog::warn("sqlite {}: committing at once: {}", shared_.connection.path(), e.what());
    }
  }
  if (hold) {
    shared_.held_ = true;
    return;
  }
  // Commits this write together with anything held back before it.
  shared_.held_ = true;
  shared_.commit_pending();
}

}  // namespace vqflow
