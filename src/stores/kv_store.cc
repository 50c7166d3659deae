#include "stores/kv_store.h"

#include <fmt/format.h>

#include <exception>
#include <limits>

#include "base/errors.h"
#include "stores/kv_store_rules.h"
#include "stores/memory_kv_store.h"
#include "stores/redis_kv_store.h"
#include "stores/sqlite_kv_store.h"

namespace vqflow {

std::vector<long long> KvStore::count_many(const std::vector<KvCount>& steps) {
  std::vector<long long> values;
  values.reserve(steps.size());
  std::exception_ptr first_failure;
  for (const KvCount& step : steps) {
    try {
      values.push_back(step.up ? incr(step.key) : decr(step.key));
    } catch (const StoreError&) {
      if (!first_failure) first_failure = std::current_exception();
    }
  }
  if (first_failure) std::rethrow_exception(first_failure);
  return values;
}

std::unique_ptr<KvStore> open_kv_store(const std::string& url,
                                       const std::optional<std::string>& sqlite_path) {
  if (url.empty()) {
    if (!sqlite_path) {
      throw ConfigError(
          "key-value store: no URL given and the database is not a SQLite file: give "
          "redis://host:port/db or memory://");
    }
    return open_sqlite_kv_store(*sqlite_path);
  }
  if (url == "memory://" || url == "memory:") return make_memory_kv_store();
  if (url.rfind("redis://", 0) == 0) return open_redis_kv_store(url);
  throw ConfigError(fmt::format(
      "key-value store URL \"{}\": unknown scheme: use redis://host:port[/db], memory:// or "
      "leave it empty for the embedded store",
      url));
}

namespace kv_rules {

std::optional<long long> parse_stored_integer(std::string_view text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  bool negative = text[0] == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  if (digits.empty()) return std::nullopt;
  if (digits[0] == '0' && (digits.size() > 1 || negative)) return std::nullopt;
  unsigned long long magnitude = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    unsigned d = static_cast<unsigned>(c - '0');
    if (magnitude > (std::numeric_limits<unsigned long long>::max() - d) / 10) return std::nullopt;
    magnitude = magnitude * 10 + d;
  }
  constexpr unsigned long long max = std::numeric_limits<long long>::max();
  if (negative) {
    if (magnitude > max + 1) return std::nullopt;
    return magnitude == max + 1 ? std::numeric_limits<long long>::min()
                                : -static_cast<long long>(magnitude);
  }
  if (magnitude > max) return std::nullopt;
  return static_cast<long long>(magnitude);
}

long long add_to_stored(const std::optional<std::string>& stored, long long delta,
                        const std::string& what, const std::string& key) {
  long long current = 0;
  if (stored) {
    auto parsed = parse_stored_integer(*stored);
    if (!parsed) {
      throw StoreError(
          fmt::format("{} {}: value is not an integer or out of range", what, printable_key(key)));
    }
    current = *parsed;
  }
  long long result = 0;
  if (__builtin_add_overflow(current, delta, &result)) {
    throw StoreError(
        fmt::format("{} {}: increment or decrement would overflow", what, printable_key(key)));
  }
  return result;
}

void check_expire_seconds(const std::string& what, const std::string& key,
                          std::optional<long long> expire_seconds) {
  // Same bound as Redis: the expiry in milliseconds must fit with room to spare.
  constexpr long long max_seconds = std::numeric_limits<long long>::max() / 1000 / 2;
  if (expire_seconds && (*expire_seconds <= 0 || *expire_seconds > max_seconds)) {
    throw StoreError(fmt::format("{} {}: invalid expire time {}: give a positive number of seconds",
                                 what, printable_key(key), *expire_seconds));
  }
}

std::string printable_key(std::string_view key) {
  constexpr std::size_t max_shown = 200;
  std::string out;
  for (std::size_t i = 0; i < key.size() && i < max_shown; ++i) {
    auto c = static_cast<unsigned char>(key[i]);
    if (c < 0x20 || c == 0x7f) {
      out += fmt::format("\\x{:02x}", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  if (key.size() > max_shown) out += "...";
  return out;
}

}  // namespace kv_rules
}  // namespace vqflow
