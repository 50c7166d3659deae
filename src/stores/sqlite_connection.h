#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/clock.h"
#include "stores/sqlite_checkpointer.h"
#include "value/value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace vqflow {

// How long a connection waits for another connection's (or process's) write lock
// before it reports the database as locked.
inline constexpr int k_sqlite_busy_timeout_ms = 5000;
// WAL frames between checkpoints: each hot page is copied once per this many
// frames, and the file is synced as often.
inline constexpr int k_sqlite_checkpoint_frames = 8000;

class SqliteConnection;

// A prepared statement. Not thread-safe: guard it with its connection's lock.
class SqliteStatement {
 public:
  SqliteStatement(SqliteConnection& connection, std::string_view sql);
  ~SqliteStatement();
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  void bind(int index, const Value& value);  // 1-based; lists and maps are refused
  void bind_text(int index, std::string_view text);
  void bind_blob(int index, std::string_view bytes);
  void bind_int(int index, long long number);
  void bind_null(int index);

  // Advances; true while a row is ready. Throws StoreError.
  bool step();
  // Ready for the next use: clears the bindings too.
  void reset();

  int column_count() const;
  bool column_is_null(int index) const;
  long long column_int(int index) const;
  std::string column_bytes(int index) const;  // text or blob, byte for byte
  Value column_value(int index) const;

 private:
  SqliteConnection* connection_;
  sqlite3_stmt* stmt_ = nullptr;
  std::string sql_;
};

// A cached statement lent for one use; resets it (ending its read) when dropped,
// so no snapshot outlives the call that took it.
class SqliteStatementUse {
 public:
  explicit SqliteStatementUse(SqliteStatement& statement) : statement_(&statement) {}
  ~SqliteStatementUse() { statement_->reset(); }
  SqliteStatementUse(const SqliteStatementUse&) = delete;
  SqliteStatementUse& operator=(const SqliteStatementUse&) = delete;
  SqliteStatement* operator->() const { return statement_; }
  SqliteStatement& operator*() const { return *statement_; }

 private:
  SqliteStatement* statement_;
};

// One open SQLite file in WAL mode with a busy timeout, plus a cache of prepared
// statements. Not thread-safe: the owner serialises calls with its own mutex.
class SqliteConnection {
 public:
  // Opens (creating when missing) the file. Throws StoreError with what failed and
  // how to fix it: missing folder, read-only file, not a database, locked.
  explicit SqliteConnection(std::string path);
  ~SqliteConnection();
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  // Runs statements without parameters (schema changes, pragmas).
  void exec(const std::string& sql);
  // A cached statement for `sql`, ready to bind; reset when the use is dropped.
  SqliteStatementUse statement(const std::string& sql);

  long long changes() const;
  long long last_insert_id() const;
  const std::string& path() const { return path_; }
  sqlite3* handle() const { return db_; }

  // Throws StoreError "sqlite <path>: <doing>: <cause>: <fix>" for result code rc.
  [[noreturn]] void fail(std::string_view doing, int rc) const;

 private:
  std::string path_;
  sqlite3* db_ = nullptr;
  std::unordered_map<std::string, std::unique_ptr<SqliteStatement>> statements_;
};

// BEGIN IMMEDIATE ... COMMIT; rolls back when left without commit(). Taking the
// write lock up front makes read-modify-write steps atomic across processes.
class SqliteTransaction {
 public:
  explicit SqliteTransaction(SqliteConnection& connection);
  ~SqliteTransaction();
  SqliteTransaction(const SqliteTransaction&) = delete;
  SqliteTransaction& operator=(const SqliteTransaction&) = delete;
  void commit();

 private:
  SqliteConnection& connection_;
  bool done_ = false;
};

// One connection with its mutex, shared by the relational tables and the
// embedded key-value table of one file in one process: a single connection
// keeps its page cache across both, where two would invalidate each other's.
//
// Held-back commits: given an arranger (hold_commits), a key-value write may
// leave its transaction open when the arranger answers true, having made sure
// that commit_pending() runs soon (the record writer's next flush on the
// caller's loop); the records of that flush then share the commit. Every
// other write commits whatever is held together with itself; so does a write
// once the transaction has been held for k_max_held_time (on `clock`'s steady
// time) or for k_max_held_units writes. Invariant: `held_` is true exactly
// while such a transaction is open; the destructor commits it, so a clean
// shutdown keeps it. Callers hold `mutex`.
class SharedSqlite {
 public:
  explicit SharedSqlite(std::string path, std::shared_ptr<const Clock> clock = real_clock())
      : connection(std::move(path)),
        clock_(clock ? std::move(clock) : real_clock()),
        checkpointer_(connection.handle(), connection.path(), k_sqlite_checkpoint_frames) {}
  ~SharedSqlite();
  SharedSqlite(const SharedSqlite&) = delete;
  SharedSqlite& operator=(const SharedSqlite&) = delete;

  std::mutex mutex;
  SqliteConnection connection;

  void hold_commits(std::function<bool()> arrange) { arrange_ = std::move(arrange); }
  // True while a held-back transaction is open.
  bool holding();
  // Commits the held-back transaction; false when none was open. Throws
  // StoreError when the commit fails (its writes are then lost).
  bool commit_pending();

 private:
  friend class SqliteWrite;
  // Bounds of one held-back transaction, so a busy loop still commits often.
  static constexpr int k_max_held_units = 4096;
  static constexpr std::chrono::milliseconds k_max_held_time{100};

  std::shared_ptr<const Clock> clock_;
  // Declared after `connection`: stops before the connection closes.
  WalCheckpointer checkpointer_;
  std::function<bool()> arrange_;
  bool held_ = false;
  int held_units_ = 0;
  std::chrono::steady_clock::time_point held_since_;
};

// One write of the shared connection (caller holds its mutex): joins the
// held-back transaction or begins one (BEGIN IMMEDIATE, so read-modify-write
// steps are atomic across processes). finish() commits, or holds the
// transaction back when allowed and the arranger agrees. Dropped without
// finish(): a transaction it began is rolled back; in a joined one the writes
// that succeeded before the failure stay (SQLite undid the failed statement).
class SqliteWrite {
 public:
  explicit SqliteWrite(SharedSqlite& shared);
  ~SqliteWrite();
  SqliteWrite(const SqliteWrite&) = delete;
  SqliteWrite& operator=(const SqliteWrite&) = delete;
  void finish(bool may_hold);

 private:
  SharedSqlite& shared_;
  bool began_ = false;
  bool done_ = false;
};

}  // namespace vqflow
