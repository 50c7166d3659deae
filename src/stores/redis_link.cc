#include "stores/redis_link.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>
#include <sys/socket.h>

#include <optional>

#include "base/errors.h"
#include "stores/redis_address.h"

namespace vqflow {

struct RedisLink::Address : RedisAddress {};

bool is_redis_url(const std::string& url) { return url.rfind("redis://", 0) == 0; }

RedisLink::RedisLink(const std::string& url, std::chrono::milliseconds timeout)
    : address_(std::make_unique<Address>(Address{parse_redis_url(url)})), timeout_(timeout) {
  where_ = address_->where();
  connect();
}

RedisLink::~RedisLink() {
  if (context_) redisFree(context_);
}

void RedisLink::connect() {
  if (context_) redisFree(context_);
  timeval limit{5, 0};
  context_ = redisConnectWithTimeout(address_->host.c_str(), address_->port, limit);
  if (!context_ || context_->err) {
    std::string why = context_ ? context_->errstr : "out of memory";
    if (context_) redisFree(context_);
    context_ = nullptr;
    throw StoreError(fmt::format("redis {}: cannot connect: {}", where_, why));
  }
  fd_ = context_->fd;
  const long long ms = timeout_.count();
  timeval each{ms / 1000, static_cast<long>((ms % 1000) * 1000)};
  if (ms > 0) redisSetTimeout(context_, each);
  if (address_->password) {
    if (address_->user.empty()) {
      command({"AUTH", *address_->password});
    } else {
      command({"AUTH", address_->user, *address_->password});
    }
  }
  if (address_->db != 0) command({"SELECT", std::to_string(address_->db)});
}

RedisReply RedisLink::command(const std::vector<std::string>& argv) {
  if (!context_) connect();
  std::vector<const char*> args;
  std::vector<std::size_t> lengths;
  for (const std::string& arg : argv) {
    args.push_back(arg.data());
    lengths.push_back(arg.size());
  }
  RedisReply reply(static_cast<redisReply*>(
      redisCommandArgv(context_, static_cast<int>(args.size()), args.data(), lengths.data())));
  if (!reply) {
    const std::string why = context_->errstr;
    redisFree(context_);
    context_ = nullptr;
    throw StoreError(fmt::format("redis {}: {}: {}", where_, argv.at(0), why));
  }
  if (reply->type == REDIS_REPLY_ERROR) {
    throw StoreError(
        fmt::format("redis {}: {}: {}", where_, argv.at(0), std::string(reply->str, reply->len)));
  }
  return reply;
}

void RedisLink::pipeline(const std::vector<std::vector<std::string>>& commands) {
  if (!context_) connect();
  for (const auto& argv : commands) {
    std::vector<const char*> args;
    std::vector<std::size_t> lengths;
    for (const std::string& arg : argv) {
      args.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    redisAppendCommandArgv(context_, static_cast<int>(args.size()), args.data(), lengths.data());
  }
  for (const auto& argv : commands) {
    RedisReply reply = next_reply();
    if (reply->type == REDIS_REPLY_ERROR) {
      spdlog::error("redis {}: {}: {}", where_, argv.at(0), std::string(reply->str, reply->len));
    }
  }
}

RedisReply RedisLink::next_reply() {
  if (!context_) throw StoreError(fmt::format("redis {}: the connection is closed", where_));
  void* raw = nullptr;
  if (redisGetReply(context_, &raw) != REDIS_OK || !raw) {
    const std::string why = context_->errstr;
    redisFree(context_);
    context_ = nullptr;
    throw StoreError(fmt::format("redis {}: {}", where_, why));
  }
  return RedisReply(static_cast<redisReply*>(raw));
}

void RedisLink::interrupt() {
  const int fd = fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

RedisOutbox::RedisOutbox(const std::string& url, std::size_t limit)
    : link_(std::make_unique<RedisLink>(url, std::chrono::seconds(10))), limit_(limit) {
  thread_ = std::thread([this] { drain(); });
}

RedisOutbox::~RedisOutbox() { close(); }

void RedisOutbox::post(std::vector<std::string> argv) {
  std::lock_guard lock(mutex_);
  if (closing_) return;
  if (queued_.size() >= limit_) {
    if (!dropping_)
      spdlog::error("redis {}: too many commands queued; dropping", link_->describe());
    dropping_ = true;
    return;
  }
  dropping_ = false;
  queued_.push_back(std::move(argv));
  changed_.notify_one();
}

void RedisOutbox::close() {
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    changed_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
}

void RedisOutbox::drain() {
  for (;;) {
    std::deque<std::vector<std::string>> batch;
    {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return closing_ || !queued_.empty(); });
      if (queued_.empty()) return;
      batch.swap(queued_);
    }
    // Nobody waits for the answers: one round trip for what came meanwhile.
    // A batch cut by a broken connection is lost (and logged); the next one
    // opens the connection afresh.
    std::vector<std::vector<std::string>> commands(std::make_move_iterator(batch.begin()),
                                                   std::make_move_iterator(batch.end()));
    try {
      link_->pipeline(commands);
    } catch (const std::exception& e) {
      spdlog::error("{} ({} command(s) not sent)", e.what(), commands.size());
    }
  }
}

}  // namespace vqflow
