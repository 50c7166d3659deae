#pragma once
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/errors.h"
#include "base/utilities.h"
#include "run/auto_execute.h"
#include "server/run_subscribers.h"
#include "stores/redis_link.h"
#include "value/value.h"

namespace vqflow {

// Queue mode: the API puts accepted runs (and audit decisions) on one Redis
// stream, read by the workers of one consumer group. A worker that stored a
// run's running row (or refused the run) says so on the notice channel; the
// API answers 202 only then, so every run answered 202 has its row before the
// answer, as without the queue. Each run's live messages go to its own channel.
namespace queue_names {
inline constexpr const char* stream = "vqflow:runs";
inline constexpr const char* group = "vqflow-workers";
inline constexpr const char* notices = "vqflow:run-recorded";
inline constexpr const char* live_prefix = "vqflow:live:";
}  // namespace queue_names

// Entries waiting on the stream at most (not yet started by a worker).
constexpr std::size_t k_queue_max_default = 10000;
// A worker's entry that has not been started after this long is taken over
// by another worker (its worker is taken for dead).
constexpr std::chrono::seconds k_claim_after_default{30};

// The stream holds as many waiting runs as it may (HTTP 503 + Retry-After).
class QueueFullError : public Error {
 public:
  using Error::Error;
};

// A worker refused a queued run: `status` is the HTTP status the API answers.
class QueuedRunRefused : public Error {
 public:
  QueuedRunRefused(int status, const std::string& message) : Error(message), status(status) {}
  int status;
};

// Makes the stream's consumer group (with the stream) unless it exists.
void ensure_queue_group(RedisLink& link);

// The notice a worker publishes for the entry `ticket` (its run `only_id`)
// whose row is stored (`failure` null) or that it refused, and its reading on
// the API side (null: stored).
std::string recorded_notice(const std::string& ticket, const std::string& only_id,
                            std::exception_ptr failure);
std::exception_ptr notice_failure(const Value& notice);

// The API side: puts runs on the stream and follows the notice and live
// channels (a thread of its own with a blocking subscriber connection), handing
// live messages to the local watchers of each run.
class RunQueue {
 public:
  // `wait_limit`: how long an answer waits for a worker's notice; a wait older
  // than that is forgotten. Throws ConfigError, StoreError.
  RunQueue(const std::string& url, std::size_t max_length, std::chrono::milliseconds wait_limit,
           std::shared_ptr<RunSubscribers> watchers);
  ~RunQueue();
  RunQueue(const RunQueue&) = delete;
  RunQueue& operator=(const RunQueue&) = delete;

  // A new run identifier (the worker's run takes it).
  std::string new_only_id();
  // Adds the run `body` (a run request) under `only_id`; `on_recorded` (may be
  // null) is told, on the subscriber's thread, once a worker has stored the
  // run's row or refused it. Throws QueueFullError, StoreError. Thread-safe.
  void enqueue(const std::string& only_id, const Value& body, RunRecorded on_recorded);
  // Entries on the stream now.
  std::size_t length();
  std::size_t max_length() const { return max_length_; }

 private:
  void follow();
  void tell(const std::string& ticket, std::exception_ptr failure);

  std::size_t max_length_;
  std::chrono::milliseconds wait_limit_;
  std::shared_ptr<RunSubscribers> watchers_;
  std::mutex mutex_;  // guards link_, random_, waits_, ages_
  std::unique_ptr<RedisLink> link_;
  Random random_;
  // By ticket: two decisions for one run wait apart.
  std::map<std::string, RunRecorded> waits_;
  std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> ages_;
  std::unique_ptr<RedisLink> subscriber_;
  std::thread follower_;
  bool stopping_ = false;
};

}  // namespace vqflow
