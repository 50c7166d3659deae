#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stores/write_failures.h"

namespace vqflow {

// One write of KvStore::set_many.
struct KvWrite {
  std::string key;
  std::string value;
  std::optional<long long> expire_seconds;
};

// One step of KvStore::count_many: INCR (up) or DECR of a key.
struct KvCount {
  std::string key;
  bool up = true;
};

// Key-value store with expiring keys and atomic counters (Redis semantics).
// Implementations are safe to call from any thread. Failures throw StoreError.
class KvStore {
 public:
  virtual ~KvStore() = default;
  // Absent when the key is missing or expired.
  virtual std::optional<std::string> get(const std::string& key) = 0;
  // Stores the value, replacing any earlier one; with expire_seconds the key
  // disappears after that many seconds, without it the key never expires.
  virtual void set(const std::string& key, const std::string& value,
                   std::optional<long long> expire_seconds = std::nullopt) = 0;
  // Stores every write, in order (a later write of a key wins). The stores send
  // them together: one round trip to Redis, one transaction in SQLite. On failure
  // a prefix of the writes may be stored.
  virtual void set_many(const std::vector<KvWrite>& writes) {
    for (const KvWrite& w : writes) set(w.key, w.value, w.expire_seconds);
  }
  // Stores the value only when the key is missing (or expired); true when stored.
  virtual bool set_if_absent(const std::string& key, const std::string& value,
                             std::optional<long long> expire_seconds = std::nullopt) = 0;
  // Adds or subtracts 1 in one atomic step; a missing key counts as 0. Throws
  // StoreError when the stored value is not an integer.
  virtual long long incr(const std::string& key) = 0;
  virtual long long decr(const std::string& key) = 0;
  // Applies every step in order and answers the new values in the same order;
  // Redis gets them in one round trip. A step that fails (a value that is not
  // an integer) does not keep the others from being applied: they all are,
  // then the first failure is thrown.
  virtual std::vector<long long> count_many(const std::vector<KvCount>& steps);
  virtual bool exists(const std::string& key) = 0;
  // Removes the key; true when it existed.
  virtual bool del(const std::string& key) = 0;
  // Human-readable description for errors and health checks ("redis 127.0.0.1:6379/0").
  virtual std::string describe() const = 0;

  // The last write that failed, for the health check; kept by the store
  // watch_kv_writes answers (other stores leave it empty).
  WriteFailures& write_failures() const { return write_failures_; }

 private:
  mutable WriteFailures write_failures_;
};

// `inner`, noting in its own write_failures() each set, set_many,
// set_if_absent and del that fails with StoreError (and clearing it when one
// succeeds). Counters are left out: their failures are mostly values that are
// not integers, not a store that refuses writes.
std::unique_ptr<KvStore> watch_kv_writes(std::shared_ptr<KvStore> inner);

// Opens the store named by `url`:
//   ""                      -> the embedded store, a table in the SQLite file `sqlite_path`
//   "memory://"             -> in-process (tests, benchmarks)
//   "redis://host:port[/db]"-> a Redis server
// Throws ConfigError for a malformed URL, StoreError when the store cannot be reached.
std::unique_ptr<KvStore> open_kv_store(const std::string& url,
                                       const std::optional<std::string>& sqlite_path);

}  // namespace vqflow
