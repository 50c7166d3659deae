#include "server/run_queue.h"

#include <spdlog/spdlog.h>

#include "server/api.h"

namespace vqflow {

namespace {

// Checks the bound and adds in one step, so that concurrent APIs cannot
// overshoot it. Workers delete the entries they took, so the length counts the
// runs not yet started.
constexpr const char* k_bounded_add = R"(
if redis.call('XLEN', KEYS[1]) >= tonumber(ARGV[1]) then return 0 end
redis.call('XADD', KEYS[1], '*', 'run', ARGV[2])
return 1)";

}  // namespace

void ensure_queue_group(RedisLink& link) {
  try {
    link.command({"XGROUP", "CREATE", queue_names::stream, queue_names::group, "0", "MKSTREAM"});
  } catch (const StoreError& e) {
    if (std::string(e.what()).find("BUSYGROUP") == std::string::npos) throw;
  }
}

std::string recorded_notice(const std::string& ticket, const std::string& only_id,
                            std::exception_ptr failure) {
  Value notice = Value::object();
  notice["ticket"] = ticket;
  notice["only_id"] = only_id;
  if (failure) {
    HttpResponse refusal = run_refusal(failure, false);
    notice["status"] = refusal.status;
    std::optional<Value> body = try_parse_json(refusal.body);
    notice["error"] = body && body->is_object() ? body->value("error", Value("")) : Value("");
  }
  return json_text(notice, false);
}

std::exception_ptr notice_failure(const Value& notice) {
  const Value status = notice.value("status", Value());
  if (!status.is_number_integer()) return nullptr;
  return std::make_exception_ptr(
      QueuedRunRefused(status.get<int>(), text_form(notice.value("error", Value("")))));
}

RunQueue::RunQueue(const std::string& url, std::size_t max_length,
                   std::chrono::milliseconds wait_limit, std::shared_ptr<RunSubscribers> watchers)
    : max_length_(max_length),
      wait_limit_(wait_limit),
      watchers_(std::move(watchers)),
      link_(std::make_unique<RedisLink>(url, std::chrono::seconds(10))),
      subscriber_(std::make_unique<RedisLink>(url, std::chrono::milliseconds(0))) {
  ensure_queue_group(*link_);
  // Subscribed before the first run is queued: no notice can come unheard.
  subscriber_->command({"SUBSCRIBE", queue_names::notices});
  subscriber_->command({"PSUBSCRIBE", std::string(queue_names::live_prefix) + "*"});
  follower_ = std::thread([this] { follow(); });
}

RunQueue::~RunQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  subscriber_->interrupt();
  follower_.join();
}

std::string RunQueue::new_only_id() {
  std::lock_guard lock(mutex_);
  return random_.make_order_number(10);
}

void RunQueue::enqueue(const std::string& only_id, const Value& body, RunRecorded on_recorded) {
  std::lock_guard lock(mutex_);
  const std::string ticket = Random::random_text(16);
  Value entry = Value::object();
  entry["ticket"] = ticket;
  entry["only_id"] = only_id;
  entry["request"] = body;
  const auto now = std::chrono::steady_clock::now();
  // Answers that gave up waiting long ago: their notices are not awaited.
  while (!ages_.empty() && now - ages_.front().first > wait_limit_) {
    waits_.erase(ages_.front().second);
    ages_.pop_front();
  }
  if (on_recorded) {
    waits_[ticket] = on_recorded;
    ages_.emplace_back(now, ticket);
  }
  try {
    RedisReply added = link_->command({"EVAL", k_bounded_add, "1", queue_names::stream,
                                       std::to_string(max_length_), json_text(entry, false)});
    if (added->type == REDIS_REPLY_INTEGER && added->integer == 1) return;
  } catch (...) {
    waits_.erase(ticket);
    throw;
  }
  waits_.erase(ticket);
  throw QueueFullError("the run queue holds " + std::to_string(max_length_) +
                       " runs not yet started; retry later");
}

std::size_t RunQueue::length() {
  std::lock_guard lock(mutex_);
  RedisReply reply = link_->command({"XLEN", queue_names::stream});
  return reply->type == REDIS_REPLY_INTEGER ? static_cast<std::size_t>(reply->integer) : 0;
}

void RunQueue::tell(const std::string& ticket, std::exception_ptr failure) {
  RunRecorded told;
  {
    std::lock_guard lock(mutex_);
    auto it = waits_.find(ticket);
    if (it == waits_.end()) return;
    told = std::move(it->second);
    waits_.erase(it);
  }
  told(failure);
}

void RunQueue::follow() {
  const std::string prefix = queue_names::live_prefix;
  for (;;) {
    RedisReply message;
    try {
      message = subscriber_->next_reply();
    } catch (const StoreError& e) {
      {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
      }
      spdlog::error("run queue: {}; subscribing again", e.what());
      std::this_thread::sleep_for(std::chrono::seconds(1));
      try {
        subscriber_->command({"SUBSCRIBE", queue_names::notices});
        subscriber_->command({"PSUBSCRIBE", prefix + "*"});
      } catch (const StoreError&) {
        // Tried again after the next failure.
      }
      continue;
    }
    // ["message", channel, text] or ["pmessage", pattern, channel, text].
    if (message->type != REDIS_REPLY_ARRAY || message->elements < 3) continue;
    const std::string kind(message->element[0]->str, message->element[0]->len);
    if (kind == "message") {
      std::optional<Value> notice =
          try_parse_json(std::string(message->element[2]->str, message->element[2]->len));
      if (!notice || !notice->is_object()) continue;
      tell(text_form(notice->value("ticket", Value(""))), notice_failure(*notice));
    } else if (kind == "pmessage" && message->elements == 4) {
      const std::string channel(message->element[2]->str, message->element[2]->len);
      if (channel.size() <= prefix.size()) continue;
      watchers_->publish(channel.substr(prefix.size()),
                         std::string(message->element[3]->str, message->element[3]->len));
    }
  }
}

}  // namespace vqflow
