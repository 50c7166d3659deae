#include "server/queue_worker.h"

#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "run/auto_execute.h"
#include "server/run_queue.h"
#include "server/run_request.h"
#include "stores/database.h"
#include "stores/redis_link.h"

namespace vqflow {

namespace {

std::string text_of(const redisReply* reply) {
  return reply && reply->type == REDIS_REPLY_STRING ? std::string(reply->str, reply->len) : "";
}

// A run's live messages, published on its channel for every server's watchers.
class LiveChannel : public ClientConnection {
 public:
  LiveChannel(std::shared_ptr<RedisOutbox> outbox, const std::string& only_id)
      : outbox_(std::move(outbox)), channel_(queue_names::live_prefix + only_id) {}
  void send(const std::string& text) override { outbox_->post({"PUBLISH", channel_, text}); }

 private:
  std::shared_ptr<RedisOutbox> outbox_;
  std::string channel_;
};

struct Entry {
  std::string id;    // the stream's
  std::string text;  // {"only_id", "request"}
  bool claimed = false;
};

// The entries of an XREADGROUP or XAUTOCLAIM reply part: [[id, [field, value, ...]], ...].
void read_entries(const redisReply* list, bool claimed, std::vector<Entry>& out) {
  if (!list || list->type != REDIS_REPLY_ARRAY) return;
  for (std::size_t i = 0; i < list->elements; ++i) {
    const redisReply* item = list->element[i];
    if (!item || item->type != REDIS_REPLY_ARRAY || item->elements < 2) continue;
    Entry entry{text_of(item->element[0]), "", claimed};
    const redisReply* fields = item->element[1];
    if (fields && fields->type == REDIS_REPLY_ARRAY) {
      for (std::size_t f = 0; f + 1 < fields->elements; f += 2) {
        if (text_of(fields->element[f]) == "run") entry.text = text_of(fields->element[f + 1]);
      }
    }
    out.push_back(std::move(entry));
  }
}

}  // namespace

struct QueueWorker::State : std::enable_shared_from_this<QueueWorker::State> {
  std::shared_ptr<Services> services;
  std::string url;
  QueueWorkerOptions options;
  std::shared_ptr<RunTracker> tracker;
  std::shared_ptr<RedisOutbox> outbox;
  mutable std::mutex mutex;
  std::condition_variable room;
  std::size_t in_flight = 0;
  bool stopping = false;
  bool reader_ended = false;
  std::atomic<std::size_t> started{0};
  std::thread reader;

  void ack(const std::string& id) {
    outbox->post({"XACK", queue_names::stream, queue_names::group, id});
    outbox->post({"XDEL", queue_names::stream, id});
  }
  void notice(const std::string& ticket, const std::string& only_id, std::exception_ptr failure) {
    outbox->post({"PUBLISH", queue_names::notices, recorded_notice(ticket, only_id, failure)});
  }
  void done() {
    std::lock_guard lock(mutex);
    --in_flight;
    room.notify_all();
  }

  void read_loop();
  std::vector<Entry> take(RedisLink& link, std::size_t count, std::string& cursor,
                          std::chrono::steady_clock::time_point& claimed_at);
  void run_entry(const Entry& entry);
};

std::vector<Entry> QueueWorker::State::take(RedisLink& link, std::size_t count, std::string& cursor,
                                            std::chrono::steady_clock::time_point& claimed_at) {
  std::vector<Entry> out;
  const auto now = std::chrono::steady_clock::now();
  const auto claim_every = std::clamp<std::chrono::milliseconds>(
      options.claim_after / 3, std::chrono::milliseconds(500), std::chrono::milliseconds(10000));
  if (now - claimed_at >= claim_every) {
    RedisReply claimed = link.command(
        {"XAUTOCLAIM", queue_names::stream, queue_names::group, options.consumer,
         std::to_string(options.claim_after.count()), cursor, "COUNT", std::to_string(count)});
    // [next cursor, entries, deleted ids]
    if (claimed->type == REDIS_REPLY_ARRAY && claimed->elements >= 2) {
      cursor = text_of(claimed->element[0]);
      if (cursor.empty()) cursor = "0-0";
      read_entries(claimed->element[1], true, out);
    }
    if (cursor == "0-0") claimed_at = now;
    if (!out.empty()) return out;
  }
  // Blocks at most a second, so that a stop is seen soon.
  RedisReply read =
      link.command({"XREADGROUP", "GROUP", queue_names::group, options.consumer, "COUNT",
                    std::to_string(count), "BLOCK", "1000", "STREAMS", queue_names::stream, ">"});
  // [[stream, entries]] or nil when nothing came.
  if (read->type == REDIS_REPLY_ARRAY && read->elements > 0) {
    const redisReply* stream = read->element[0];
    if (stream->type == REDIS_REPLY_ARRAY && stream->elements == 2) {
      read_entries(stream->element[1], false, out);
    }
  }
  return out;
}

void QueueWorker::State::read_loop() {
  std::unique_ptr<RedisLink> link;
  std::string cursor = "0-0";
  auto claimed_at = std::chrono::steady_clock::time_point();
  bool failing = false;
  for (;;) {
    std::size_t count = 0;
    {
      std::unique_lock lock(mutex);
      room.wait(lock, [this] { return stopping || in_flight < options.concurrency; });
      if (stopping) {
        reader_ended = true;
        return;
      }
      count = options.concurrency - in_flight;
    }
    std::vector<Entry> entries;
    try {
      if (!link) {
        link = std::make_unique<RedisLink>(url, std::chrono::seconds(10));
        // Also after a failure: the stream may have been removed meanwhile.
        ensure_queue_group(*link);
      }
      entries = take(*link, count, cursor, claimed_at);
      if (failing) spdlog::info("run queue worker: reading the queue again");
      failing = false;
    } catch (const std::exception& e) {
      if (!failing) spdlog::error("run queue worker: {}; retrying every second", e.what());
      failing = true;
      link.reset();
      std::unique_lock lock(mutex);
      room.wait_for(lock, std::chrono::seconds(1), [this] { return stopping; });
      continue;
    }
    if (entries.empty()) continue;
    {
      std::lock_guard lock(mutex);
      in_flight += entries.size();
    }
    // Taken entries are pending to this consumer: they run even when a stop
    // came meanwhile (within the grace), rather than wait to be taken over.
    for (Entry& entry : entries) {
      boost::asio::post(services->executor, [self = shared_from_this(), entry = std::move(entry)] {
        self->run_entry(entry);
      });
    }
  }
}

void QueueWorker::State::run_entry(const Entry& entry) {
  std::optional<Value> parsed = try_parse_json(entry.text);
  if (!parsed || !parsed->is_object() || !parsed->value("only_id", Value()).is_string()) {
    spdlog::error("run queue worker: entry {} is not a queued run; dropped", entry.id);
    ack(entry.id);
    done();
    return;
  }
  const std::string only_id = (*parsed)["only_id"].get<std::string>();
  const std::string ticket = text_form(parsed->value("ticket", Value("")));
  const Value& body = (*parsed)["request"];
  const bool decision = body.is_object() && body.value("audit_app", Value("")).is_string() &&
                        !body.value("audit_app", Value("")).get<std::string>().empty();
  std::uint64_t counted = 0;  // the tracker's ticket
  try {
    if (entry.claimed) {
      std::optional<Row> row =
          services->db->table("runs").select({"state"}).where("only_id", only_id).first();
      if (row && !(decision && text_form((*row)["state"]) == "waiting")) {
        spdlog::warn(
            "run queue worker: taken-over run {} is stored already ({}); not started again",
            only_id, text_form((*row)["state"]));
        notice(ticket, only_id, nullptr);
        ack(entry.id);
        done();
        return;
      }
    }
    ParsedRunRequest request = parse_run_request(body);
    request.request.run_id = only_id;
    counted = tracker->begin(request.uuid);
    tracker->name(counted, only_id);
    auto self = shared_from_this();
    auto acked = std::make_shared<bool>(false);
    RunRecorded on_recorded = [self, ticket, only_id, id = entry.id,
                               acked](std::exception_ptr failure) {
      self->notice(ticket, only_id, failure);
      self->ack(id);
      *acked = true;
    };
    RunFinished on_finished = [self, counted, id = entry.id, acked](const RunOutcome&) {
      if (!*acked) self->ack(id);
      self->tracker->finish(counted);
      self->done();
    };
    auto_execute(services, std::move(request.uuid), std::make_shared<LiveChannel>(outbox, only_id),
                 std::move(request.request), std::move(on_finished), std::move(on_recorded));
    ++started;
  } catch (...) {
    // Refused before anything ran (a decision not accepted, a broken request).
    notice(ticket, only_id, std::current_exception());
    ack(entry.id);
    if (counted) tracker->finish(counted);
    done();
  }
}

QueueWorker::QueueWorker(std::shared_ptr<Services> services, const std::string& url,
                         QueueWorkerOptions options, std::shared_ptr<RunTracker> tracker)
    : state_(std::make_shared<State>()) {
  if (options.consumer.empty()) options.consumer = services->owner;
  if (options.concurrency < 1) options.concurrency = 1;
  state_->services = std::move(services);
  state_->url = url;
  state_->options = std::move(options);
  state_->tracker = tracker ? std::move(tracker) : std::make_shared<RunTracker>();
}

QueueWorker::~QueueWorker() {
  stop_taking();
  if (state_->reader.joinable()) state_->reader.join();
  if (state_->outbox) state_->outbox->close();
}

void QueueWorker::start() {
  RedisLink link(state_->url, std::chrono::seconds(10));
  ensure_queue_group(link);
  state_->outbox = std::make_shared<RedisOutbox>(state_->url);
  state_->reader = std::thread([state = state_] { state->read_loop(); });
}

void QueueWorker::stop_taking() {
  std::lock_guard lock(state_->mutex);
  state_->stopping = true;
  state_->room.notify_all();
}

std::size_t QueueWorker::in_flight() const {
  std::lock_guard lock(state_->mutex);
  return state_->in_flight;
}

bool QueueWorker::idle() const {
  std::lock_guard lock(state_->mutex);
  return (state_->reader_ended || !state_->reader.joinable()) && state_->in_flight == 0;
}

std::size_t QueueWorker::started() const { return state_->started; }

const std::string& QueueWorker::consumer() const { return state_->options.consumer; }

}  // namespace vqflow
