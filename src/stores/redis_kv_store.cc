#include "stores/redis_kv_store.h"

#include <fmt/format.h>
#include <hiredis/hiredis.h>

#include <mutex>
#include <vector>

#include "base/errors.h"
#include "stores/kv_store_rules.h"
#include "stores/redis_address.h"

namespace vqflow {

namespace {

constexpr int k_connect_timeout_seconds = 5;
constexpr int k_command_timeout_seconds = 30;

using ReplyPtr = std::unique_ptr<redisReply, void (*)(redisReply*)>;

void free_reply(redisReply* reply) { freeReplyObject(reply); }

class RedisKvStore final : public KvStore {
 public:
  explicit RedisKvStore(RedisAddress address) : address_(std::move(address)) {
    where_ = address_.where();
    std::lock_guard lock(mutex_);
    connect();
  }

  ~RedisKvStore() override {
    if (context_ != nullptr) redisFree(context_);
  }

  std::optional<std::string> get(const std::string& key) override {
    std::lock_guard lock(mutex_);
    auto reply = command("GET", key, {"GET", key});
    if (reply->type == REDIS_REPLY_NIL) return std::nullopt;
    if (reply->type != REDIS_REPLY_STRING) unexpected("GET", key, reply.get());
    return std::string(reply->str, reply->len);
  }

  void set(const std::string& key, const std::string& value,
           std::optional<long long> expire_seconds) override {
    kv_rules::check_expire_seconds("redis SET", key, expire_seconds);
    std::lock_guard lock(mutex_);
    std::vector<std::string> args = {"SET", key, value};
    if (expire_seconds) {
      args.push_back("EX");
      args.push_back(std::to_string(*expire_seconds));
    }
    command("SET", key, args);
  }

  void set_many(const std::vector<KvWrite>& writes) override {
    if (writes.empty()) return;
    for (const KvWrite& w : writes)
      kv_rules::check_expire_seconds("redis SET", w.key, w.expire_seconds);
    std::lock_guard lock(mutex_);
    if (context_ == nullptr) connect();
    // Pipelined: every SET is buffered, then the replies are read in order.
    for (const KvWrite& w : writes) {
      std::vector<const char*> argv = {"SET", w.key.data(), w.value.data()};
      std::vector<std::size_t> lengths = {3, w.key.size(), w.value.size()};
      std::string seconds;
      if (w.expire_seconds) {
        seconds = std::to_string(*w.expire_seconds);
        argv.push_back("EX");
        lengths.push_back(2);
        argv.push_back(seconds.data());
        lengths.push_back(seconds.size());
      }
      if (redisAppendCommandArgv(context_, static_cast<int>(argv.size()), argv.data(),
                                 lengths.data()) != REDIS_OK) {
        lost("SET", w.key);
      }
    }
    read_replies(writes.size(), [&](std::size_t i) { return Named{"SET", writes[i].key}; });
  }

  bool set_if_absent(const std::string& key, const std::string& value,
                     std::optional<long long> expire_seconds) override {
    kv_rules::check_expire_seconds("redis SET NX", key, expire_seconds);
    std::lock_guard lock(mutex_);
    std::vector<std::string> args = {"SET", key, value, "NX"};
    if (expire_seconds) {
      args.push_back("EX");
      args.push_back(std::to_string(*expire_seconds));
    }
    auto reply = command("SET NX", key, args);
    return reply->type != REDIS_REPLY_NIL;
  }

  long long incr(const std::string& key) override { return integer_command("INCR", key); }
  long long decr(const std::string& key) override { return integer_command("DECR", key); }
  std::vector<long long> count_many(const std::vector<KvCount>& steps) override {
    std::vector<long long> values;
    if (steps.empty()) return values;
    auto named = [&](std::size_t i) { return Named{steps[i].up ? "INCR" : "DECR", steps[i].key}; };
    std::lock_guard lock(mutex_);
    if (context_ == nullptr) connect();
    // Pipelined as set_many: an error reply fails its own step only.
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const char* argv[] = {named(i).what, steps[i].key.data()};
      const std::size_t lengths[] = {4, steps[i].key.size()};
      if (redisAppendCommandArgv(context_, 2, argv, lengths) != REDIS_OK)
        lost(argv[0], steps[i].key);
    }
    const std::vector<ReplyPtr> replies = read_replies(steps.size(), named);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (replies[i]->type != REDIS_REPLY_INTEGER)
        unexpected(named(i).what, steps[i].key, replies[i].get());
      values.push_back(replies[i]->integer);
    }
    return values;
  }

  bool exists(const std::string& key) override { return integer_command("EXISTS", key) > 0; }
  bool del(const std::string& key) override { return integer_command("DEL", key) > 0; }

  std::string describe() const override { return "redis " + where_; }

 private:
  void connect() {
    timeval connect_timeout{k_connect_timeout_seconds, 0};
    redisContext* context =
        redisConnectWithTimeout(address_.host.c_str(), address_.port, connect_timeout);
    if (context == nullptr || context->err != 0) {
      std::string cause = context != nullptr ? context->errstr : "out of memory";
      if (context != nullptr) redisFree(context);
      throw StoreError(
          fmt::format("redis {}: connect: {}: check that the server runs and that "
                      "the URL names it",
                      where_, cause));
    }
    timeval command_timeout{k_command_timeout_seconds, 0};
    redisSetTimeout(context, command_timeout);
    redisEnableKeepAlive(context);
    context_ = context;
    try {
      if (address_.password) {
        std::vector<std::string> auth = {"AUTH"};
        if (!address_.user.empty()) auth.push_back(address_.user);
        auth.push_back(*address_.password);
        command("AUTH", "", auth);
      }
      if (address_.db != 0) command("SELECT", "", {"SELECT", std::to_string(address_.db)});
    } catch (...) {
      drop_connection();
      throw;
    }
  }

  void drop_connection() {
    if (context_ != nullptr) redisFree(context_);
    context_ = nullptr;
  }

  // Runs one command; a broken connection is opened afresh first (the earlier
  // command has already been reported). Throws StoreError for an error reply or
  // a failed connection, which is then dropped.
  ReplyPtr command(const char* what, const std::string& key, const std::vector<std::string>& args) {
    if (context_ == nullptr) connect();
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& arg : args) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    auto* raw = static_cast<redisReply*>(
        redisCommandArgv(context_, static_cast<int>(argv.size()), argv.data(), lengths.data()));
    if (raw == nullptr) {
      std::string cause = context_->errstr;
      drop_connection();
      throw StoreError(fmt::format("redis {} {}: {}: {}", what, kv_rules::printable_key(key),
                                   where_, cause.empty() ? "connection lost" : cause));
    }
    ReplyPtr reply(raw, free_reply);
    if (reply->type == REDIS_REPLY_ERROR) {
      throw StoreError(fmt::format("redis {} {}: {}: {}", what, kv_rules::printable_key(key),
                                   where_, std::string(reply->str, reply->len)));
    }
    return reply;
  }

  // A pipelined command, for messages.
  struct Named {
    const char* what;
    const std::string& key;
  };

  // Reads the replies of `count` pipelined commands in order (`named(i)` names
  // the i-th). An error reply fails its own command only: the first is thrown
  // once every reply has been read, so the connection stays in step.
  template <typename Naming>
  std::vector<ReplyPtr> read_replies(std::size_t count, const Naming& named) {
    std::vector<ReplyPtr> replies;
    replies.reserve(count);
    std::optional<std::string> first_error;
    for (std::size_t i = 0; i < count; ++i) {
      void* raw = nullptr;
      if (redisGetReply(context_, &raw) != REDIS_OK || raw == nullptr)
        lost(named(i).what, named(i).key);
      replies.emplace_back(static_cast<redisReply*>(raw), free_reply);
      const redisReply* reply = replies.back().get();
      if (reply->type == REDIS_REPLY_ERROR && !first_error) {
        first_error =
            fmt::format("redis {} {}: {}: {}", named(i).what, kv_rules::printable_key(named(i).key),
                        where_, std::string(reply->str, reply->len));
      }
    }
    if (first_error) throw StoreError(*first_error);
    return replies;
  }

  // The connection broke mid-pipeline: drop it (the next call opens a new one).
  [[noreturn]] void lost(const char* what, const std::string& key) {
    std::string cause = context_ != nullptr ? context_->errstr : "";
    drop_connection();
    throw StoreError(fmt::format("redis {} {}: {}: {}", what, kv_rules::printable_key(key), where_,
                                 cause.empty() ? "connection lost" : cause));
  }

  long long integer_command(const char* what, const std::string& key) {
    std::lock_guard lock(mutex_);
    auto reply = command(what, key, {what, key});
    if (reply->type != REDIS_REPLY_INTEGER) unexpected(what, key, reply.get());
    return reply->integer;
  }

  [[noreturn]] void unexpected(const char* what, const std::string& key, const redisReply* reply) {
    throw StoreError(fmt::format("redis {} {}: {}: unexpected reply type {}", what,
                                 kv_rules::printable_key(key), where_, reply->type));
  }

  RedisAddress address_;
  std::string where_;
  std::mutex mutex_;
  redisContext* context_ = nullptr;
};

}  // namespace

std::unique_ptr<KvStore> open_redis_kv_store(const std::string& url) {
  return std::make_unique<RedisKvStore>(parse_redis_url(url));
}

}  // namespace vqflow
