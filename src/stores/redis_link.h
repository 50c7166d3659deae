#pragma once
#include <hiredis/hiredis.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vqflow {

struct RedisReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using RedisReply = std::unique_ptr<redisReply, RedisReplyFree>;

// Whether `url` names a Redis server (redis://...).
bool is_redis_url(const std::string& url);

// One blocking connection of its own to the Redis server of a
// redis://[[user]:password@]host[:port][/db] URL, for the queue's streams and
// channels (the key-value store keeps its own connection). Not thread-safe: one
// owner thread. A broken connection is opened afresh by the next command.
class RedisLink {
 public:
  // Throws ConfigError for a malformed URL, StoreError when the server cannot
  // be reached. `timeout` bounds each command (zero: none, for blocking reads).
  RedisLink(const std::string& url, std::chrono::milliseconds timeout);
  ~RedisLink();
  RedisLink(const RedisLink&) = delete;
  RedisLink& operator=(const RedisLink&) = delete;

  // One command; throws StoreError for an error reply or a broken connection.
  RedisReply command(const std::vector<std::string>& argv);
  // The commands in one round trip; an error reply is logged, not thrown.
  // Throws StoreError when the connection breaks.
  void pipeline(const std::vector<std::vector<std::string>>& commands);
  // The next reply the server pushes (pub/sub); throws StoreError once the
  // connection is broken or shut down.
  RedisReply next_reply();
  // Ends a next_reply() waiting on another thread (it throws).
  void interrupt();
  // "host:port/db".
  const std::string& describe() const { return where_; }

 private:
  void connect();
  struct Address;
  std::unique_ptr<Address> address_;
  std::chrono::milliseconds timeout_;
  std::string where_;
  redisContext* context_ = nullptr;
  std::atomic<int> fd_{-1};  // for interrupt() from another thread
};

// Commands whose answer nobody waits for (PUBLISH, XACK), sent by a thread of
// their own in pipelined batches, so that the run loop never waits on Redis.
// A command that fails is logged; bounded: past `limit` queued commands new
// ones are dropped (and logged once per burst).
class RedisOutbox {
 public:
  RedisOutbox(const std::string& url, std::size_t limit = 1u << 16);
  ~RedisOutbox();
  RedisOutbox(const RedisOutbox&) = delete;
  RedisOutbox& operator=(const RedisOutbox&) = delete;

  // Callable from any thread.
  void post(std::vector<std::string> argv);
  // Sends what is queued, then ends the thread.
  void close();

 private:
  void drain();
  std::unique_ptr<RedisLink> link_;
  std::size_t limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::vector<std::string>> queued_;
  bool closing_ = false;
  bool dropping_ = false;
  std::thread thread_;
};

}  // namespace vqflow
