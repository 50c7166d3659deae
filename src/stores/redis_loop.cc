#include <fmt/format.h>
#include <hiredis/hiredis.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <deque>

#include "base/errors.h"
#include "stores/async_stores.h"
#include "stores/kv_store_rules.h"
#include "stores/redis_address.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace asio = boost::asio;
using asio::awaitable;
using asio::use_awaitable;

namespace {

constexpr auto k_connect_timeout = std::chrono::seconds(5);
constexpr auto k_command_timeout = std::chrono::seconds(30);

using ReplyPtr = std::unique_ptr<redisReply, void (*)(redisReply*)>;
using Commands = std::vector<std::vector<std::string>>;
void free_reply(redisReply* reply) { freeReplyObject(reply); }

// Commands sent together whose replies are awaited together.
struct Request {
  explicit Request(asio::any_io_executor executor)
      : signal(executor, asio::steady_timer::time_point::max()) {}
  std::size_t expected = 0;
  std::vector<ReplyPtr> replies;
  std::string failure;  // the connection broke before every reply was in
  bool done = false;
  std::chrono::steady_clock::time_point sent = std::chrono::steady_clock::now();
  asio::steady_timer signal;
};

// One connection to a Redis server driven by the loop: commands of every
// caller are written as they come (those of one loop turn in one write), and
// replies are matched to callers in order, so many runs share each round
// trip. The bytes are formatted and parsed by hiredis; the socket is Asio's.
// A broken connection fails the commands in flight (never retried) and the
// next command opens a new one.
class RedisConnection : public std::enable_shared_from_this<RedisConnection> {
 public:
  RedisConnection(RedisAddress address, asio::any_io_executor executor)
      : address_(std::move(address)), executor_(std::move(executor)), socket_(executor_) {}

  ~RedisConnection() {
    if (reader_ != nullptr) redisReaderFree(reader_);
  }

  const std::string& where() const { return where_; }

  // Sends the commands and answers their replies in order (error replies
  // included). Throws StoreError, starting with `what` and the key, when the
  // connection fails.
  // (Taken by value: the caller's temporaries are gone once it awaits.)
  awaitable<std::vector<ReplyPtr>> run(Commands commands) {
    auto request = std::make_shared<Request>(executor_);
    request->expected = commands.size();
    for (const auto& args : commands) append(args);
    queue(request);
    while (!request->done) {
      boost::system::error_code ignored;
      co_await request->signal.async_wait(asio::redirect_error(use_awaitable, ignored));
    }
    if (!request->failure.empty()) throw StoreError(request->failure);
    co_return std::move(request->replies);
  }

 private:
  enum class State { closed, connecting, open };

  void append(const std::vector<std::string>& args) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& arg : args) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    char* formatted = nullptr;
    const long long size = redisFormatCommandArgv(&formatted, static_cast<int>(argv.size()),
                                                  argv.data(), lengths.data());
    if (size < 0) throw StoreError("redis " + where_ + ": out of memory formatting a command");
    out_.append(formatted, static_cast<std::size_t>(size));
    redisFreeCommand(formatted);
  }

  void queue(const std::shared_ptr<Request>& request) {
    if (pending_.empty()) watch_time();
    pending_.push_back(request);
    if (state_ == State::closed) {
      state_ = State::connecting;
      asio::co_spawn(executor_, connect(shared_from_this()), asio::detached);
    } else if (state_ == State::open) {
      write();
      start_reading();
    }
  }

  static awaitable<void> connect(std::shared_ptr<RedisConnection> self) {
    try {
      asio::ip::tcp::resolver resolver(self->executor_);
      asio::steady_timer deadline(self->executor_, k_connect_timeout);
      deadline.async_wait([weak = std::weak_ptr(self)](boost::system::error_code ec) {
        if (auto s = weak.lock(); !ec && s && s->state_ == State::connecting) s->socket_.close();
      });
      auto endpoints = co_await resolver.async_resolve(
          self->address_.host, std::to_string(self->address_.port), use_awaitable);
      co_await asio::async_connect(self->socket_, endpoints, use_awaitable);
      deadline.cancel();
      self->socket_.set_option(asio::ip::tcp::no_delay(true));
      self->socket_.set_option(asio::socket_base::keep_alive(true));
    } catch (const std::exception& e) {
      self->broken(fmt::format("connect: {}: check that the server runs and that the URL names it",
                               e.what()));
      co_return;
    }
    self->reader_ = redisReaderCreate();
    self->state_ = State::open;
    self->login();
    self->write();
    self->start_reading();
  }

  // Reads only while replies are due: an idle connection leaves the loop
  // free to finish (a command's loop ends when its runs do).
  void start_reading() {
    if (reading_ || state_ != State::open) return;
    reading_ = true;
    asio::co_spawn(executor_, read(shared_from_this()), asio::detached);
  }

  bool replies_due() const { return !pending_.empty() || login_replies_ > 0; }

  // AUTH and SELECT go ahead of the callers' commands; a refusal fails them.
  void login() {
    std::string callers;
    callers.swap(out_);
    std::size_t count = 0;
    if (address_.password) {
      std::vector<std::string> auth = {"AUTH"};
      if (!address_.user.empty()) auth.push_back(address_.user);
      auth.push_back(*address_.password);
      append(auth);
      ++count;
    }
    if (address_.db != 0) {
      append({"SELECT", std::to_string(address_.db)});
      ++count;
    }
    out_ += callers;
    login_replies_ = count;
  }

  void write() {
    if (writing_ || state_ != State::open || out_.empty()) return;
    writing_ = true;
    sending_.clear();
    sending_.swap(out_);
    asio::async_write(socket_, asio::buffer(sending_),
                      [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                        self->writing_ = false;
                        if (ec) {
                          if (self->state_ == State::open) self->broken(ec.message());
                          return;
                        }
                        self->write();
                      });
  }

  static awaitable<void> read(std::shared_ptr<RedisConnection> self) {
    std::vector<char> buffer(std::size_t{64} * 1024);
    redisReader* reader = self->reader_;
    const unsigned long generation = self->generation_;
    struct Reading {
      RedisConnection& connection;
      unsigned long generation;
      ~Reading() {
        if (connection.generation_ == generation) connection.reading_ = false;
      }
    } reading{*self, generation};
    while (self->generation_ == generation && self->state_ == State::open && self->replies_due()) {
      boost::system::error_code ec;
      const std::size_t n = co_await self->socket_.async_read_some(
          asio::buffer(buffer), asio::redirect_error(use_awaitable, ec));
      if (self->generation_ != generation) co_return;  // the connection broke meanwhile
      if (ec) {
        self->broken(ec == asio::error::eof ? "connection closed by the server" : ec.message());
        co_return;
      }
      if (redisReaderFeed(reader, buffer.data(), n) != REDIS_OK) {
        self->broken("unreadable reply");
        co_return;
      }
      void* raw = nullptr;
      while (true) {
        if (redisReaderGetReply(reader, &raw) != REDIS_OK) {
          self->broken(fmt::format("unreadable reply: {}", reader->errstr));
          co_return;
        }
        if (raw == nullptr) break;
        self->deliver(ReplyPtr(static_cast<redisReply*>(raw), free_reply));
      }
    }
  }

  void deliver(ReplyPtr reply) {
    if (login_replies_ > 0) {
      --login_replies_;
      if (reply->type == REDIS_REPLY_ERROR) {
        broken(fmt::format("log-in: {}", std::string(reply->str, reply->len)));
      }
      return;
    }
    if (pending_.empty()) {
      broken("a reply no command asked for");
      return;
    }
    Request& front = *pending_.front();
    front.replies.push_back(std::move(reply));
    if (front.replies.size() < front.expected) return;
    front.done = true;
    front.signal.cancel();
    pending_.pop_front();
    if (!pending_.empty()) {
      pending_.front()->sent = std::chrono::steady_clock::now();
    } else {
      watch_.cancel();  // nothing left to time: the loop may finish
    }
  }

  // Fails every command in flight; the next command connects afresh.
  void broken(const std::string& cause) {
    state_ = State::closed;
    boost::system::error_code ignored;
    socket_.close(ignored);  // a closed socket is opened again by the next connect
    if (reader_ != nullptr) redisReaderFree(reader_);
    reader_ = nullptr;
    reading_ = false;  // the read in flight ends on the closed socket
    ++generation_;
    out_.clear();
    login_replies_ = 0;
    watch_.cancel();
    std::deque<std::shared_ptr<Request>> failed;
    failed.swap(pending_);
    for (const auto& request : failed) {
      request->failure = fmt::format("redis {}: {}", where_, cause);
      request->done = true;
      request->signal.cancel();
    }
  }

  // A server that stops answering fails the commands after k_command_timeout,
  // as a blocking call would.
  void watch_time() {
    if (watching_) return;
    watching_ = true;
    watch_.expires_after(std::chrono::seconds(1));
    watch_.async_wait([self = shared_from_this()](boost::system::error_code) {
      self->watching_ = false;
      if (self->pending_.empty()) return;
      if (std::chrono::steady_clock::now() - self->pending_.front()->sent > k_command_timeout) {
        self->broken("no answer within 30 s");
        return;
      }
      self->watch_time();
    });
  }

  RedisAddress address_;
  std::string where_ = address_.where();
  asio::any_io_executor executor_;
  asio::ip::tcp::socket socket_;
  State state_ = State::closed;
  redisReader* reader_ = nullptr;
  std::string out_;      // formatted commands not yet written
  std::string sending_;  // the write in flight
  bool writing_ = false;
  bool reading_ = false;
  unsigned long generation_ = 0;  // of the connection: raised when it breaks
  bool watching_ = false;
  asio::steady_timer watch_{executor_};
  std::size_t login_replies_ = 0;
  std::deque<std::shared_ptr<Request>> pending_;
};

// The failure of one reply, in the blocking store's words.
std::string reply_error(const char* what, const std::string& key, const std::string& where,
                        const redisReply& reply) {
  if (reply.type == REDIS_REPLY_ERROR) {
    return fmt::format("redis {} {}: {}: {}", what, kv_rules::printable_key(key), where,
                       std::string(reply.str, reply.len));
  }
  return fmt::format("redis {} {}: {}: unexpected reply type {}", what,
                     kv_rules::printable_key(key), where, reply.type);
}

class LoopRedis final : public AsyncKv {
 public:
  LoopRedis(RedisAddress address, std::shared_ptr<KvStore> blocking, asio::any_io_executor executor,
            Counter& failures)
      : blocking_(std::move(blocking)),
        executor_(executor),
        connection_(std::make_shared<RedisConnection>(std::move(address), std::move(executor))),
        failures_(&failures) {}

  awaitable<void> set_many(std::vector<KvWrite> writes) override {
    if (!runs_here(executor_)) {
      blocking_->set_many(writes);
      co_return;
    }
    if (writes.empty()) co_return;
    Commands commands;
    try {
      for (const KvWrite& w : writes) {
        kv_rules::check_expire_seconds("redis SET", w.key, w.expire_seconds);
        std::vector<std::string> args = {"SET", w.key, w.value};
        if (w.expire_seconds) {
          args.emplace_back("EX");
          args.push_back(std::to_string(*w.expire_seconds));
        }
        commands.push_back(std::move(args));
      }
      auto sent = connection_->run(commands);
      const std::vector<ReplyPtr> replies = co_await std::move(sent);
      for (std::size_t i = 0; i < replies.size(); ++i) {
        if (replies[i]->type == REDIS_REPLY_ERROR) {
          throw StoreError(reply_error("SET", writes[i].key, connection_->where(), *replies[i]));
        }
      }
    } catch (const StoreError& e) {
      failures_->add();
      blocking_->write_failures().failed(e.what());
      throw;
    }
    blocking_->write_failures().succeeded();
  }

  awaitable<std::vector<long long>> count_many(std::vector<KvCount> steps) override {
    if (!runs_here(executor_)) co_return blocking_->count_many(steps);
    std::vector<long long> values;
    if (steps.empty()) co_return values;
    Commands commands;
    for (const KvCount& step : steps) {
      commands.push_back({std::string(step.up ? "INCR" : "DECR"), step.key});
    }
    auto sent = counted(commands);
    auto replies = co_await std::move(sent);
    std::optional<std::string> first_error;
    for (std::size_t i = 0; i < steps.size(); ++i) {
      if (replies[i]->type == REDIS_REPLY_INTEGER) {
        values.push_back(replies[i]->integer);
      } else if (!first_error) {
        first_error =
            reply_error(commands[i][0].c_str(), steps[i].key, connection_->where(), *replies[i]);
      }
    }
    if (first_error) {
      failures_->add();
      throw StoreError(*first_error);
    }
    co_return values;
  }

  awaitable<std::optional<std::string>> get(std::string key) override {
    if (!runs_here(executor_)) co_return blocking_->get(key);
    const Commands commands = {{std::string("GET"), key}};
    auto sent = counted(commands);
    auto replies = co_await std::move(sent);
    const redisReply& reply = *replies.front();
    if (reply.type == REDIS_REPLY_NIL) co_return std::nullopt;
    if (reply.type != REDIS_REPLY_STRING) {
      failures_->add();
      throw StoreError(reply_error("GET", key, connection_->where(), reply));
    }
    co_return std::string(reply.str, reply.len);
  }

  awaitable<bool> exists(std::string key) override {
    if (!runs_here(executor_)) co_return blocking_->exists(key);
    const Commands commands = {{std::string("EXISTS"), key}};
    auto sent = counted(commands);
    auto replies = co_await std::move(sent);
    const redisReply& reply = *replies.front();
    if (reply.type != REDIS_REPLY_INTEGER) {
      failures_->add();
      throw StoreError(reply_error("EXISTS", key, connection_->where(), reply));
    }
    co_return reply.integer > 0;
  }

 private:
  // The replies, a failed connection counted as a store failure.
  awaitable<std::vector<ReplyPtr>> counted(Commands commands) {
    return counting_failure(connection_->run(std::move(commands)), *failures_);
  }

  std::shared_ptr<KvStore> blocking_;
  asio::any_io_executor executor_;
  std::shared_ptr<RedisConnection> connection_;
  Counter* failures_;
};

}  // namespace

std::shared_ptr<AsyncKv> loop_kv(const std::string& kv_url, std::shared_ptr<KvStore> kv,
                                 asio::any_io_executor executor, Counter& failures) {
  if (kv_url.rfind("redis://", 0) != 0 || !executor) return in_place_kv(std::move(kv));
  return std::make_shared<LoopRedis>(parse_redis_url(kv_url), std::move(kv), std::move(executor),
                                     failures);
}

}  // namespace vqflow
