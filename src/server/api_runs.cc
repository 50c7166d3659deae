// The routes that start runs, deliver audit decisions and read runs back.
#include <spdlog/spdlog.h>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <mutex>
#include <optional>

#include "base/errors.h"
#include "base/plain_id.h"
#include "server/api.h"
#include "server/run_queue.h"
#include "stores/database.h"
#include "value/value.h"

namespace vqflow {

namespace {

// Request bodies are hostile: nest no deeper than a run request needs.
constexpr std::size_t k_max_body_depth = 64;

}  // namespace

std::optional<Value> request_json(const HttpRequest& request, HttpResponse& refusal) {
  try {
    return parse_json(request.body, k_max_body_depth);
  } catch (const std::exception& e) {
    refusal = error_response(400, std::string("the request body is not JSON: ") + e.what());
    return std::nullopt;
  }
}

HttpResponse Api::post_run(const HttpRequest& request, const Params&) {
  HttpResponse refusal;
  std::optional<Value> body = request_json(request, refusal);
  return body ? start_answer(*body) : refusal;
}

HttpResponse run_refusal(std::exception_ptr failure, bool draining) {
  auto busy = [](const char* why) {
    HttpResponse out = error_response(503, why);
    out.headers.emplace_back("Retry-After", "1");
    return out;
  };
  try {
    std::rethrow_exception(failure);
  } catch (const RunLimitError& e) {
    return busy(e.what());
  } catch (const QueueFullError& e) {
    return busy(e.what());
  } catch (const QueuedRunRefused& e) {
    return error_response(e.status, e.what());
  } catch (const RequestError& e) {
    return error_response(draining ? 503 : 400, e.what());
  } catch (const ConfigError& e) {
    return error_response(400, std::string("\"controller_data\": ") + e.what());
  } catch (const PlaybookMissingError& e) {
    return error_response(404, e.what());
  } catch (const PlaybookDisabledError& e) {
    return error_response(409, e.what());
  } catch (const DecisionError& e) {
    return error_response(409, e.what());
  } catch (const StoreError& e) {
    spdlog::error("run request: {}", e.what());
    return error_response(503, std::string("the run could not be stored: ") + e.what());
  } catch (const std::exception& e) {
    spdlog::error("run request: {}", e.what());
    return error_response(500, e.what());
  }
}

// Whether the run an answer waits for is stored. Told on the run loop, waited
// for on the server's loop; the mutex guards every member.
struct Api::RecordWait {
  std::mutex mutex;
  bool told = false;
  std::exception_ptr failure;
  // The waiting answer's wake-up (on the server's loop); null while nobody waits.
  boost::asio::steady_timer* wake = nullptr;

  static void tell(const std::shared_ptr<RecordWait>& self, std::exception_ptr e) {
    std::lock_guard lock(self->mutex);
    self->told = true;
    self->failure = std::move(e);
    if (!self->wake) return;
    // The timer belongs to the server's loop: cancelled there.
    boost::asio::post(self->wake->get_executor(), [self, wake = self->wake] {
      std::lock_guard again(self->mutex);
      if (self->wake == wake) wake->cancel();
    });
  }
};

HttpResponse Api::start_answer(const Value& body) {
  try {
    auto wait = std::make_shared<RecordWait>();
    std::string only_id =
        start(body, parse_run_request(body), nullptr,
              [wait](std::exception_ptr failure) { RecordWait::tell(wait, failure); });
    record_wait_ = std::move(wait);
    Value answer = Value::object();
    answer["only_id"] = only_id;
    return json_response(202, answer);
  } catch (...) {
    return run_refusal(std::current_exception(), draining_);
  }
}

boost::asio::awaitable<HttpResponse> Api::when_recorded(std::shared_ptr<RecordWait> wait,
                                                        HttpResponse answer) {
  namespace net = boost::asio;
  net::steady_timer wake(co_await net::this_coro::executor, options_.record_timeout);
  {
    std::lock_guard lock(wait->mutex);
    if (!wait->told) wait->wake = &wake;
  }
  // Also when this frame is destroyed with its loop: a late word then finds nobody.
  struct Forget {
    RecordWait* wait;
    ~Forget() {
      std::lock_guard lock(wait->mutex);
      wait->wake = nullptr;
    }
  } forget{wait.get()};
  boost::system::error_code ec;
  if (wait->wake) co_await wake.async_wait(net::redirect_error(net::use_awaitable, ec));
  std::lock_guard lock(wait->mutex);
  wait->wake = nullptr;
  if (wait->told && !wait->failure) co_return answer;
  HttpResponse out;
  if (!wait->told) {
    spdlog::error("run request: the run's state was not stored within {} ms",
                  options_.record_timeout.count());
    // The only_id stays in the answer: the run may still go on.
    Value body = parse_json(answer.body);
    body["error"] = "the run was not stored within " +
                    std::to_string(options_.record_timeout.count()) + " ms; it may still run";
    out = json_response(503, body);
  } else {
    out = run_refusal(wait->failure, draining_);
  }
  // The 202's own headers (CORS) go with the refusal.
  out.headers.insert(out.headers.end(), answer.headers.begin(), answer.headers.end());
  co_return out;
}

std::string Api::start(const Value& body, ParsedRunRequest parsed,
                       std::shared_ptr<ClientConnection> s, RunRecorded on_recorded) {
  if (draining_) throw RequestError("the server is shutting down");
  // Told now, not after a 202 that leads nowhere.
  if (services_ && services_->db) check_playbook(*services_->db, parsed.uuid);
  if (options_.queue) return enqueue(body, std::move(parsed), std::move(s), std::move(on_recorded));
  std::shared_ptr<RunTracker> tracker = tracker_;
  const std::uint64_t ticket = tracker->begin_within(parsed.uuid, options_.max_runs);
  if (ticket == 0) {
    throw RunLimitError("too many runs in progress here (at most " +
                        std::to_string(options_.max_runs) + "); retry later");
  }
  // auto_execute logs what escaped the run; the tracker only counts.
  RunFinished done = [tracker, ticket](const RunOutcome&) { tracker->finish(ticket); };
  std::string only_id;
  try {
    only_id = start_run_(std::move(parsed.uuid), std::move(s), std::move(parsed.request),
                         std::move(done), std::move(on_recorded));
  } catch (...) {
    tracker->finish(ticket);
    throw;
  }
  tracker->name(ticket, only_id);
  return only_id;
}

std::string Api::enqueue(const Value& body, ParsedRunRequest parsed,
                         std::shared_ptr<ClientConnection> s, RunRecorded on_recorded) {
  const bool decision = parsed.request.audit_app && !parsed.request.audit_app->empty();
  const std::string only_id = decision ? *parsed.request.only_id : options_.queue->new_only_id();
  // A WebSocket client that asked for the run watches it: its messages come
  // back from whichever worker runs it.
  if (s) watchers_->subscribe(only_id, s);
  options_.queue->enqueue(only_id, body, std::move(on_recorded));
  return only_id;
}

HttpResponse Api::post_decision(const HttpRequest& request, const Params& params) {
  const std::string& only_id = params[0];
  HttpResponse refusal;
  std::optional<Value> body = request_json(request, refusal);
  if (!body) return refusal;
  if (!body->is_object()) return error_response(400, "the request body must be a JSON object");
  for (const auto& item : body->items()) {
    const std::string& key = item.key();
    if (key != "audit_app" && key != "status" && key != "user" && key != "start_app") {
      return error_response(400, "\"" + key + "\" is not a field of an audit decision");
    }
  }
  const Value audit_app = body->value("audit_app", Value());
  if (!audit_app.is_string() || audit_app.get_ref<const std::string&>().empty()) {
    return error_response(400, "\"audit_app\" is required: the audit node decided");
  }
  const Value status = body->value("status", Value());
  if (status.is_null()) return error_response(400, "\"status\" is required: 1 approve, 2 reject");
  Database* db = store(refusal);
  if (!db) return refusal;
  std::optional<Row> audit;
  try {
    audit = db->table("audit").select({"workflow_uuid"}).where("only_id", only_id).first();
  } catch (const std::exception& e) {
    spdlog::error("POST /api/audits/{}/decision: {}", only_id, e.what());
    return error_response(503, e.what());
  }
  if (!audit) return error_response(404, "run " + only_id + " never waited for a decision");
  // The same request as a decision sent to POST /api/runs, checked the same way.
  Value run = Value::object();
  run["uuid"] = audit->value("workflow_uuid", Value());
  run["only_id"] = only_id;
  run["audit_app"] = audit_app;
  run["audit_status"] = status;
  for (const char* field : {"user", "start_app"}) {
    if (body->contains(field)) run[field] = (*body)[field];
  }
  return start_answer(run);
}

void Api::ws_message(const std::string& text, const std::shared_ptr<ClientConnection>& s) {
  Value reply = Value::object();
  try {
    Value message;
    try {
      message = parse_json(text, k_max_body_depth);
    } catch (const std::exception& e) {
      throw RequestError(std::string("the message is not JSON: ") + e.what());
    }
    if (!message.is_object()) throw RequestError("the message must be a JSON object");
    auto method = message.find("method");
    if (method == message.end() || (*method != "run" && *method != "subscribe")) {
      throw RequestError("\"method\" must be \"run\" or \"subscribe\"");
    }
    auto data = message.find("data");
    if (*method == "subscribe") {
      if (data == message.end()) throw RequestError("\"data\" is required: {\"only_id\": ...}");
      reply["method"] = "subscribed";
      reply["data"] = subscribe(*data, s);
    } else {
      if (data == message.end()) throw RequestError("\"data\" is required: the run request");
      std::string only_id = start(*data, parse_run_request(*data), s);
      reply["method"] = "run_started";
      reply["data"] = Value::object();
      reply["data"]["only_id"] = only_id;
    }
  } catch (const ConfigError& e) {
    reply["method"] = "error";
    reply["data"] = {{"error", std::string("\"controller_data\": ") + e.what()}};
  } catch (const PlaybookMissingError& e) {
    reply["method"] = "error";
    reply["data"] = {{"error", e.what()}, {"status", 404}};
  } catch (const PlaybookDisabledError& e) {
    reply["method"] = "error";
    reply["data"] = {{"error", e.what()}, {"status", 409}};
  } catch (const DecisionError& e) {
    reply["method"] = "error";
    reply["data"] = {{"error", e.what()}, {"status", 409}};
  } catch (const std::exception& e) {
    reply["method"] = "error";
    reply["data"] = {{"error", e.what()}};
  }
  try {
    s->send(json_text(reply, false));
  } catch (const std::exception&) {
    // The client left; the run (if any) goes on without it.
  }
}

Value Api::subscribe(const Value& data, const std::shared_ptr<ClientConnection>& s) {
  const Value only_id = data.is_object() ? data.value("only_id", Value()) : Value();
  if (!only_id.is_string() || !is_plain_id(only_id.get_ref<const std::string&>())) {
    throw RequestError("\"only_id\" must be " + std::string(k_plain_id_rule));
  }
  const std::string& id = only_id.get_ref<const std::string&>();
  switch (watchers_->subscribe(id, s)) {
    case RunSubscribers::Outcome::run_full:
      throw RequestError("run " + id + " has as many watchers as it may have");
    case RunSubscribers::Outcome::client_full:
      throw RequestError("this connection watches as many runs as it may");
    default:
      break;
  }
  bool running_here = false;
  for (const RunTracker::Run& run : tracker_->runs())
    running_here = running_here || run.only_id == id;
  Value out = Value::object();
  out["only_id"] = id;
  out["running_here"] = running_here;
  return out;
}

void Api::ws_closed(const ClientConnection* s) { watchers_->unsubscribe_all(s); }

HttpResponse Api::run_logs(const HttpRequest&, const Params& params) {
  const std::string& only_id = params[0];
  HttpResponse refusal;
  Database* db = store(refusal);
  if (!db) return refusal;
  if (only_id.empty() || only_id.size() > 128) return error_response(400, "malformed run id");
  try {
    std::vector<Row> rows = db->table("logs").where("only_id", only_id).get();
    Value records = Value::array();
    for (Row& row : rows) {
      if (row.is_object()) row.erase("id");  // the store's own key, not part of a record
      records.push_back(std::move(row));
    }
    return json_response(200, records);
  } catch (const std::exception& e) {
    spdlog::error("GET /api/runs/{}/logs: {}", only_id, e.what());
    return error_response(503, e.what());
  }
}

}  // namespace vqflow
