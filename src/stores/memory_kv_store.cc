#include "stores/memory_kv_store.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "stores/kv_store_rules.h"

namespace vqflow {
namespace {

// Invariants: an entry whose expires_at_ms is at or before now is treated as
// missing; such entries are removed on access and by a sweep every
// k_sweep_every writes, so memory does not grow with dead keys.
class MemoryKvStore final : public KvStore {
 public:
  explicit MemoryKvStore(std::shared_ptr<const Clock> clock) : clock_(std::move(clock)) {}

  std::optional<std::string> get(const std::string& key) override {
    std::lock_guard lock(mutex_);
    auto* entry = live_entry(key);
    if (entry == nullptr) return std::nullopt;
    return entry->value;
  }

  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    kv_rules::check_expire_seconds("memory SET", key, expire_seconds);
    std::lock_guard lock(mutex_);
    note_write();
    entries_[key] = Entry{value, expiry(expire_seconds)};
  }

  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    kv_rules::check_expire_seconds("memory SET NX", key, expire_seconds);
    std::lock_guard lock(mutex_);
    if (live_entry(key) != nullptr) return false;
    note_write();
    entries_[key] = Entry{value, expiry(expire_seconds)};
    return true;
  }

  long long incr(const std::string& key) override { return add(key, 1, "memory INCR"); }
  long long decr(const std::string& key) override { return add(key, -1, "memory DECR"); }

  bool exists(const std::string& key) override {
    std::lock_guard lock(mutex_);
    return live_entry(key) != nullptr;
  }

  bool del(const std::string& key) override {
    std::lock_guard lock(mutex_);
    bool existed = live_entry(key) != nullptr;
    entries_.erase(key);
    return existed;
  }

  std::string describe() const override { return "memory"; }

 private:
  struct Entry {
    std::string value;
    std::optional<long long> expires_at_ms;
  };
  static constexpr int k_sweep_every = 1024;

  std::optional<long long> expiry(std::optional<long long> expire_seconds) const {
    if (!expire_seconds) return std::nullopt;
    return clock_->wall_ms() + *expire_seconds * 1000;
  }

  Entry* live_entry(const std::string& key) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    if (it->second.expires_at_ms && *it->second.expires_at_ms <= clock_->wall_ms()) {
      entries_.erase(it);
      return nullptr;
    }
    return &it->second;
  }

  long long add(const std::string& key, long long delta, const char* what) {
    std::lock_guard lock(mutex_);
    note_write();  // before the lookup: a sweep would invalidate `entry`
    Entry* entry = live_entry(key);
    long long result = kv_rules::add_to_stored(
        entry ? std::optional<std::string>(entry->value) : std::nullopt, delta, what, key);
    if (entry != nullptr) {
      entry->value = std::to_string(result);  // keeps its expiry, as INCR does
    } else {
      entries_[key] = Entry{std::to_string(result), std::nullopt};
    }
    return result;
  }

  // A sweep walks every entry, so it runs once per as many writes as there are
  // entries (at least k_sweep_every): constant work per write on average, and
  // dead keys never more than the live ones plus a sweep's worth.
  void note_write() {
    if (++writes_since_sweep_ < std::max<std::size_t>(k_sweep_every, entries_.size())) return;
    writes_since_sweep_ = 0;
    long long now = clock_->wall_ms();
    std::erase_if(entries_, [now](const auto& item) {
      return item.second.expires_at_ms && *item.second.expires_at_ms <= now;
    });
  }

  std::shared_ptr<const Clock> clock_;
  std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  std::size_t writes_since_sweep_ = 0;
};

}  // namespace

std::unique_ptr<KvStore> make_memory_kv_store(std::shared_ptr<const Clock> clock) {
  return std::make_unique<MemoryKvStore>(std::move(clock));
}

}  // namespace vqflow
