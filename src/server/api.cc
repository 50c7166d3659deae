#include "server/api.h"

#include <spdlog/spdlog.h>

#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <exception>
#include <string_view>

#include "base/errors.h"
#include "base/spawn_logged.h"
#include "base/text.h"
#include "rpc/json_rpc.h"
#include "server/metrics_route.h"
#include "server/security.h"
#include "value/value.h"

namespace vqflow {

namespace {

// Request bodies are hostile: nest no deeper than a run request needs.
constexpr std::size_t k_max_body_depth = 64;

HttpResponse json_response(int status, const Value& body) {
  HttpResponse out;
  out.status = status;
  out.body = json_text(body, false);
  return out;
}

// The token of "Bearer <token>", or absent.
std::optional<std::string_view> bearer_token(std::string_view header) {
  constexpr std::string_view scheme = "bearer ";
  if (header.size() <= scheme.size() || !iequals(header.substr(0, scheme.size()), scheme)) {
    return std::nullopt;
  }
  std::string_view token = header.substr(scheme.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  return token;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes one path segment; absent when an escape is malformed.
std::optional<std::string> decode_segment(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hex_digit(text[i + 1]);
    const int lo = hex_digit(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> out;
  while (!path.empty()) {
    if (path.front() == '/') {
      path.remove_prefix(1);
      continue;
    }
    auto slash = path.find('/');
    out.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash);
  }
  return out;
}

// {"store": ..., "ok": true} when `probe` reads from `store` without failing,
// else "ok" false and the "error"; a null store is not configured (`absent`).
template <typename Store, typename Probe>
Value store_health(const std::shared_ptr<Store>& store, const char* absent, Probe probe) {
  Value out = Value::object();
  if (!store) {
    out["ok"] = false;
    out["error"] = absent;
    return out;
  }
  out["store"] = store->describe();
  try {
    probe(*store);
    out["ok"] = true;
  } catch (const std::exception& e) {
    out["ok"] = false;
    out["error"] = e.what();
  }
  return out;
}

HttpResponse method_not_allowed(const char* allow) {
  HttpResponse out = error_response(405, std::string("method not allowed; use ") + allow);
  out.headers.emplace_back("Allow", allow);
  return out;
}

}  // namespace

HttpResponse error_response(int status, const std::string& message) {
  Value body = Value::object();
  body["error"] = message;
  return json_response(status, body);
}

Api::Api(std::shared_ptr<Services> services, const RpcRegistry* rpc, RunStarter start_run,
         ApiOptions options)
    : services_(std::move(services)),
      rpc_(rpc),
      start_run_(std::move(start_run)),
      options_(std::move(options)) {
  if (options_.tracker) tracker_ = options_.tracker;
}

bool Api::origin_allowed(const std::string& origin) const {
  for (const auto& allowed : options_.allowed_origins) {
    if (allowed == origin) return true;
  }
  return false;
}

std::optional<HttpResponse> Api::admit(const HttpRequest& head,
                                       std::optional<std::uint64_t> content_length) const {
  if (draining_) {
    HttpResponse out = error_response(503, "the server is shutting down");
    out.close = true;
    return out;
  }
  // Without a token, a browser page could rebind its own domain name onto this
  // loopback server and read from it as same-origin; only accept local names.
  if (!options_.token && head.has_header("host") && !is_local_host_header(head.header("host"))) {
    return error_response(403, "host \"" + head.header("host") +
                                   "\" not allowed; address this server by IP or localhost");
  }
  // Browsers always name the page's origin on cross-site requests; refusing
  // unknown origins keeps any web page from starting runs here.
  if (head.has_header("origin") && !origin_allowed(head.header("origin"))) {
    return error_response(403, "origin \"" + head.header("origin") +
                                   "\" not allowed; start the server with --allow-origin " +
                                   head.header("origin") + " to accept it");
  }
  if (head.method == "OPTIONS" && head.has_header("origin")) {
    HttpResponse out;
    out.status = 204;
    out.content_type.clear();
    out.headers.emplace_back("Access-Control-Allow-Origin", head.header("origin"));
    out.headers.emplace_back("Access-Control-Allow-Methods", "GET, POST");
    out.headers.emplace_back("Access-Control-Allow-Headers", "Authorization, Content-Type");
    out.headers.emplace_back("Access-Control-Max-Age", "600");
    out.headers.emplace_back("Vary", "Origin");
    return out;
  }
  if (options_.token) {
    std::optional<std::string_view> given = bearer_token(head.header("authorization"));
    if (!given || !constant_time_equals(*given, *options_.token)) {
      HttpResponse out = error_response(
          401, given ? "wrong token" : "missing \"Authorization: Bearer <token>\" header");
      out.headers.emplace_back("WWW-Authenticate", "Bearer");
      return out;
    }
  }
  if (content_length && *content_length > options_.body_limit) {
    HttpResponse out = error_response(413, "request body of " + std::to_string(*content_length) +
                                               " bytes; at most " +
                                               std::to_string(options_.body_limit) + " allowed");
    out.close = true;
    return out;
  }
  return std::nullopt;
}

std::optional<HttpResponse> Api::refuse_upgrade(const HttpRequest& head) const {
  std::string_view path = head.target;
  path = path.substr(0, path.find('?'));
  if (path != "/api/ws")
    return error_response(404, "no WebSocket endpoint at " + std::string(path));
  return std::nullopt;
}

void Api::add_cors(const HttpRequest& request, HttpResponse& response) const {
  if (!request.has_header("origin")) return;
  response.headers.emplace_back("Access-Control-Allow-Origin", request.header("origin"));
  response.headers.emplace_back("Vary", "Origin");
}

HttpResponse Api::handle(const HttpRequest& request) {
  // A request admitted just before the server began to stop: what it would
  // call (timer methods, the engine) may already be gone.
  if (draining_) {
    HttpResponse out = error_response(503, "the server is shutting down");
    out.close = true;
    return out;
  }
  std::string_view path = request.target;
  path = path.substr(0, path.find('?'));
  const auto parts = split_path(path);
  HttpResponse out;
  if (parts.size() == 2 && parts[0] == "api" && parts[1] == "health") {
    out = request.method == "GET" ? health() : method_not_allowed("GET");
  } else if (parts.size() == 2 && parts[0] == "api" && parts[1] == "runs") {
    out = request.method == "POST" ? post_run(request) : method_not_allowed("POST");
  } else if (parts.size() == 4 && parts[0] == "api" && parts[1] == "runs" && parts[3] == "logs") {
    if (request.method != "GET") {
      out = method_not_allowed("GET");
    } else if (auto only_id = decode_segment(parts[2])) {
      out = run_logs(*only_id);
    } else {
      out = error_response(400, "malformed run id in the path");
    }
  } else if (parts.size() == 1 && parts[0] == "metrics") {
    out = request.method == "GET" ? metrics_response(services_ ? services_->metrics.get() : nullptr)
                                  : method_not_allowed("GET");
  } else if (parts.size() == 1 && parts[0] == "rpc") {
    out = request.method == "POST" ? rpc(request) : method_not_allowed("POST");
  } else if (parts.size() == 2 && parts[0] == "api" && parts[1] == "ws") {
    out = error_response(426, "use a WebSocket upgrade on /api/ws");
    out.headers.emplace_back("Upgrade", "websocket");
  } else {
    out = error_response(404, "no such endpoint: " + std::string(path));
  }
  add_cors(request, out);
  return out;
}

std::string Api::start(ParsedRunRequest parsed, std::shared_ptr<ClientConnection> s) {
  if (draining_) throw RequestError("the server is shutting down");
  // Told now, not after a 202 that leads nowhere.
  if (services_ && services_->db) check_playbook(*services_->db, parsed.uuid);
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
                         std::move(done));
  } catch (...) {
    tracker->finish(ticket);
    throw;
  }
  tracker->name(ticket, only_id);
  return only_id;
}

HttpResponse Api::post_run(const HttpRequest& request) {
  std::optional<Value> body;
  try {
    body = parse_json(request.body, k_max_body_depth);
  } catch (const std::exception& e) {
    return error_response(400, std::string("the request body is not JSON: ") + e.what());
  }
  try {
    std::string only_id = start(parse_run_request(*body), nullptr);
    Value answer = Value::object();
    answer["only_id"] = only_id;
    return json_response(202, answer);
  } catch (const RunLimitError& e) {
    HttpResponse out = error_response(503, e.what());
    out.headers.emplace_back("Retry-After", "1");
    return out;
  } catch (const RequestError& e) {
    return error_response(draining_ ? 503 : 400, e.what());
  } catch (const ConfigError& e) {
    return error_response(400, std::string("\"controller_data\": ") + e.what());
  } catch (const PlaybookMissingError& e) {
    return error_response(404, e.what());
  } catch (const PlaybookDisabledError& e) {
    return error_response(409, e.what());
  } catch (const DecisionError& e) {
    return error_response(409, e.what());
  } catch (const std::exception& e) {
    spdlog::error("POST /api/runs: {}", e.what());
    return error_response(500, e.what());
  }
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
    if (method == message.end() || *method != "run") {
      throw RequestError("\"method\" must be \"run\"");
    }
    auto data = message.find("data");
    if (data == message.end()) throw RequestError("\"data\" is required: the run request");
    std::string only_id = start(parse_run_request(*data), s);
    reply["method"] = "run_started";
    reply["data"] = Value::object();
    reply["data"]["only_id"] = only_id;
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

HttpResponse Api::run_logs(const std::string& only_id) {
  if (!services_ || !services_->db) return error_response(503, "no relational store configured");
  if (only_id.empty() || only_id.size() > 128) return error_response(400, "malformed run id");
  try {
    std::vector<Row> rows = services_->db->table("logs").where("only_id", only_id).get();
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

HttpResponse Api::health() {
  Value body = Value::object();
  body["status"] = "ok";
  Value db =
      store_health(services_ ? services_->db : nullptr, "no relational store configured",
                   [](Database& store) { store.table("workflow").select({"uuid"}).first(); });
  Value exec_sum = nullptr;
  Value kv = store_health(services_ ? services_->kv : nullptr, "no key-value store configured",
                          [&exec_sum](KvStore& store) {
                            std::optional<std::string> sum = store.get("exec_sum");
                            exec_sum = sum ? Value(parse_integer(*sum).value_or(0)) : Value(0);
                          });
  const bool ok = db["ok"] == true && kv["ok"] == true;
  if (!ok) body["status"] = "failing";
  body["db"] = std::move(db);
  body["kv"] = std::move(kv);
  body["exec_sum"] = std::move(exec_sum);
  body["runs_here"] = tracker_->in_progress();
  body["draining"] = draining_.load();
  return json_response(ok ? 200 : 503, body);
}

bool Api::is_rpc(const HttpRequest& request) {
  std::string_view path = request.target;
  path = path.substr(0, path.find('?'));
  const auto parts = split_path(path);
  return request.method == "POST" && parts.size() == 1 && parts[0] == "rpc";
}

namespace {

// A remote call on the run loop and its way back. Touched only on the
// server's loop: the run loop hands the answer back by posting there.
struct RpcHop {
  std::optional<HttpResponse> answer;
  // The waiting request's wake-up; null once it stopped waiting.
  boost::asio::steady_timer* wake = nullptr;
};

}  // namespace

boost::asio::awaitable<HttpResponse> Api::respond(HttpRequest request) {
  namespace net = boost::asio;
  if (!options_.rpc_executor || draining_ || !is_rpc(request)) co_return handle(request);
  const net::any_io_executor here = co_await net::this_coro::executor;
  auto hop = std::make_shared<RpcHop>();
  net::steady_timer wake(here, options_.rpc_timeout);
  hop->wake = &wake;
  // Also when this frame is destroyed with its loop: a late answer then finds nobody.
  struct Forget {
    RpcHop* hop;
    ~Forget() { hop->wake = nullptr; }
  } forget{hop.get()};
  net::post(*options_.rpc_executor, [this, hop, here, request = std::move(request)] {
    HttpResponse out;
    // On the run loop, after the shutdown's steps there that came first.
    if (draining_) {
      out = error_response(503, "the server is shutting down");
      out.close = true;
    } else {
      out = handle(request);
    }
    net::post(here, [hop, out = std::move(out)]() mutable {
      if (!hop->wake) return;
      hop->answer = std::move(out);
      hop->wake->cancel();
    });
  });
  boost::system::error_code ec;
  co_await wake.async_wait(net::redirect_error(net::use_awaitable, ec));
  hop->wake = nullptr;
  if (hop->answer) co_return std::move(*hop->answer);
  spdlog::error("POST /rpc: the run loop did not take up the call within {} ms",
                options_.rpc_timeout.count());
  co_return error_response(503, "remote call not answered within " +
                                    std::to_string(options_.rpc_timeout.count()) +
                                    " ms (the run loop is busy); it may still take effect");
}

HttpResponse Api::rpc(const HttpRequest& request) {
  static const RpcRegistry empty;
  std::optional<std::string> answer = handle_json_rpc(rpc_ ? *rpc_ : empty, request.body);
  HttpResponse out;
  if (!answer) {
    out.status = 204;
    out.content_type.clear();
    return out;
  }
  out.body = std::move(*answer);
  return out;
}

}  // namespace vqflow
