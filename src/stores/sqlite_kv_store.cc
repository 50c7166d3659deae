#include "stores/sqlite_kv_store.h"

#include <mutex>
#include <type_traits>

#include "base/errors.h"
#include "stores/kv_store_rules.h"
#include "stores/sqlite_connection.h"

namespace vqflow {

std::string sqlite_kv_table_sql() {
  // Keys and values are blobs: bytes are kept exactly, NUL and invalid UTF-8 included.
  // expires_at is in milliseconds since the Unix epoch; NULL never expires. There
  // is no index on expires_at: every write would rewrite one, and the sweep walks
  // the keys in slices instead. Files made with that index keep it; it still works.
  return "CREATE TABLE IF NOT EXISTS kv (key BLOB PRIMARY KEY NOT NULL, value BLOB NOT NULL, "
         "expires_at INTEGER) WITHOUT ROWID;";
}

namespace {

constexpr const char* k_live_value =
    "SELECT value FROM kv WHERE key = ?1 AND (expires_at IS NULL OR expires_at > ?2)";
constexpr const char* k_upsert =
    "INSERT INTO kv (key, value, expires_at) VALUES (?1, ?2, ?3) "
    "ON CONFLICT (key) DO UPDATE SET value = excluded.value, expires_at = excluded.expires_at";
// Replaces only a row that has expired, so one statement decides and writes.
constexpr const char* k_insert_if_absent =
    "INSERT INTO kv (key, value, expires_at) VALUES (?1, ?2, ?3) "
    "ON CONFLICT (key) DO UPDATE SET value = excluded.value, expires_at = excluded.expires_at "
    "WHERE kv.expires_at IS NOT NULL AND kv.expires_at <= ?4";
// Keeps the expiry of a live key, as INCR does; a missing or expired key starts afresh.
constexpr const char* k_store_counter =
    "INSERT INTO kv (key, value, expires_at) VALUES (?1, ?2, NULL) "
    "ON CONFLICT (key) DO UPDATE SET value = excluded.value, expires_at = "
    "CASE WHEN kv.expires_at IS NOT NULL AND kv.expires_at <= ?3 THEN NULL ELSE kv.expires_at END";
constexpr const char* k_delete = "DELETE FROM kv WHERE key = ?1";
constexpr const char* k_sweep = "DELETE FROM kv WHERE expires_at IS NOT NULL AND expires_at <= ?1";
// A slice of the sweep: the key that ends the next slice after ?1, then the
// expired keys up to it (or to the last key when no key ends the slice).
constexpr const char* k_slice_end_first = "SELECT key FROM kv ORDER BY key LIMIT 1 OFFSET ?1";
constexpr const char* k_slice_end =
    "SELECT key FROM kv WHERE key > ?1 ORDER BY key LIMIT 1 OFFSET ?2";
constexpr const char* k_sweep_between =
    "DELETE FROM kv WHERE key > ?1 AND key <= ?2 AND expires_at <= ?3";
constexpr const char* k_sweep_slice_first = "DELETE FROM kv WHERE key <= ?1 AND expires_at <= ?2";
constexpr const char* k_sweep_tail = "DELETE FROM kv WHERE key > ?1 AND expires_at <= ?2";

class SqliteKvStore final : public KvStore {
 public:
  SqliteKvStore(std::shared_ptr<SharedSqlite> shared, std::shared_ptr<const Clock> clock)
      : shared_(std::move(shared)), clock_(std::move(clock)) {
    std::lock_guard lock(mutex_);
    connection_.exec(sqlite_kv_table_sql());
    sweep();
  }

  std::optional<std::string> get(const std::string& key) override {
    std::lock_guard lock(mutex_);
    return live_value(key);
  }

  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    kv_rules::check_expire_seconds("sqlite kv SET", key, expire_seconds);
    write_step(1, [&] { upsert(key, value, expire_seconds); });
  }

  void set_many(const std::vector<KvWrite>& writes) override {
    if (writes.empty()) return;
    for (const KvWrite& w : writes) {
      kv_rules::check_expire_seconds("sqlite kv SET", w.key, w.expire_seconds);
    }
    write_step(static_cast<int>(writes.size()), [&] {
      for (const KvWrite& w : writes) upsert(w.key, w.value, w.expire_seconds);
    });
  }

  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    kv_rules::check_expire_seconds("sqlite kv SET NX", key, expire_seconds);
    return write_step(1, [&] {
      auto statement = connection_.statement(k_insert_if_absent);
      statement->bind_blob(1, key);
      statement->bind_blob(2, value);
      bind_expiry(*statement, 3, expire_seconds);
      statement->bind_int(4, clock_->wall_ms());
      statement->step();
      return connection_.changes() == 1;
    });
  }

  long long incr(const std::string& key) override { return add(key, 1, "sqlite kv INCR"); }
  long long decr(const std::string& key) override { return add(key, -1, "sqlite kv DECR"); }

  bool exists(const std::string& key) override {
    std::lock_guard lock(mutex_);
    return live_value(key).has_value();
  }

  bool del(const std::string& key) override {
    return write_step(0, [&] {
      bool existed = live_value(key).has_value();
      auto statement = connection_.statement(k_delete);
      statement->bind_blob(1, key);
      statement->step();
      return existed;
    });
  }

  std::string describe() const override { return "sqlite kv " + connection_.path(); }

 private:
  // Every k_sweep_every writes, the next k_sweep_slice keys (in key order) lose
  // their expired entries; scanning more keys than were written keeps the file
  // within a small factor of its live keys.
  static constexpr int k_sweep_every = 500;
  static constexpr int k_sweep_slice = 2000;

  std::optional<std::string> live_value(const std::string& key) {
    auto statement = connection_.statement(k_live_value);
    statement->bind_blob(1, key);
    statement->bind_int(2, clock_->wall_ms());
    if (!statement->step()) return std::nullopt;
    return statement->column_bytes(0);
  }

  // Caller holds the mutex.
  void upsert(const std::string& key, const std::string& value,
              std::optional<long long> expire_seconds) {
    auto statement = connection_.statement(k_upsert);
    statement->bind_blob(1, key);
    statement->bind_blob(2, value);
    bind_expiry(*statement, 3, expire_seconds);
    statement->step();
  }

  void bind_expiry(SqliteStatement& statement, int index, std::optional<long long> expire_seconds) {
    if (expire_seconds) {
      statement.bind_int(index, clock_->wall_ms() + *expire_seconds * 1000);
    } else {
      statement.bind_null(index);
    }
  }

  long long add(const std::string& key, long long delta, const char* what) {
    // The write holds the file's write lock before reading (BEGIN IMMEDIATE, or
    // the held-back transaction), so no other process can change the value
    // between the read and the write.
    return write_step(1, [&] {
      long long result = kv_rules::add_to_stored(live_value(key), delta, what, key);
      auto statement = connection_.statement(k_store_counter);
      statement->bind_blob(1, key);
      statement->bind_blob(2, std::to_string(result));
      statement->bind_int(3, clock_->wall_ms());
      statement->step();
      return result;
    });
  }

  // What every write does around `body`: takes the store's lock, joins or
  // begins the transaction, sweeps now and then (`writes` count toward it),
  // and finishes, so the transaction may be held back. A throwing body rolls
  // back what it began (SqliteWrite).
  template <typename Body>
  auto write_step(int writes, Body body) -> decltype(body()) {
    std::lock_guard lock(mutex_);
    SqliteWrite write(*shared_);
    maybe_sweep(writes);
    if constexpr (std::is_void_v<decltype(body())>) {
      body();
      write.finish(true);
    } else {
      auto result = body();
      write.finish(true);
      return result;
    }
  }

  void maybe_sweep(int writes = 1) {
    writes_since_sweep_ += writes;
    if (writes_since_sweep_ < k_sweep_every) return;
    writes_since_sweep_ = 0;
    sweep_slice();
  }

  // Caller holds the mutex.
  void sweep_slice() {
    const long long now = clock_->wall_ms();
    std::optional<std::string> end;
    {
      auto statement = connection_.statement(cursor_ ? k_slice_end : k_slice_end_first);
      int next = 1;
      if (cursor_) statement->bind_blob(next++, *cursor_);
      statement->bind_int(next, k_sweep_slice - 1);
      if (statement->step()) end = statement->column_bytes(0);
    }
    if (end) {
      auto statement = connection_.statement(cursor_ ? k_sweep_between : k_sweep_slice_first);
      int next = 1;
      if (cursor_) statement->bind_blob(next++, *cursor_);
      statement->bind_blob(next++, *end);
      statement->bind_int(next, now);
      statement->step();
      cursor_ = std::move(end);
      return;
    }
    // The last slice: to the end of the keys, then from the start again.
    if (cursor_) {
      auto statement = connection_.statement(k_sweep_tail);
      statement->bind_blob(1, *cursor_);
      statement->bind_int(2, now);
      statement->step();
    } else {
      sweep();
    }
    cursor_.reset();
  }

  void sweep() {
    auto statement = connection_.statement(k_sweep);
    statement->bind_int(1, clock_->wall_ms());
    statement->step();
  }

  std::shared_ptr<SharedSqlite> shared_;
  std::mutex& mutex_ = shared_->mutex;
  SqliteConnection& connection_ = shared_->connection;
  std::shared_ptr<const Clock> clock_;
  int writes_since_sweep_ = 0;
  std::optional<std::string> cursor_;  // last key of the previous slice
};

}  // namespace

std::unique_ptr<KvStore> open_sqlite_kv_store(const std::string& path,
                                              std::shared_ptr<const Clock> clock) {
  if (path.empty()) {
    throw ConfigError("key-value store: the SQLite file path is empty");
  }
  auto shared = std::make_shared<SharedSqlite>(path, clock);
  return std::make_unique<SqliteKvStore>(std::move(shared), std::move(clock));
}

std::unique_ptr<KvStore> open_sqlite_kv_store(std::shared_ptr<SharedSqlite> shared,
                                              std::shared_ptr<const Clock> clock) {
  return std::make_unique<SqliteKvStore>(std::move(shared), std::move(clock));
}

}  // namespace vqflow
