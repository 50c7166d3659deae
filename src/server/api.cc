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
#include "server/api_routes.h"
#include "server/metrics_route.h"
#include "server/security.h"
#include "value/value.h"

namespace vqflow {

namespace {

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

// {"store": ..., "ok": true} when `probe` reads from `store` without failing
// and no write to it failed lately, else "ok" false and the "error"; a null
// store is not configured (`absent`).
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
    return out;
  }
  // A store that answers reads may still refuse writes.
  if (auto failure = store->write_failures().recent(k_write_failure_window)) {
    out["ok"] = false;
    out["error"] = "last write failed: " + *failure;
  }
  return out;
}

// The console's page and files: public, so that a browser can load the page
// that asks for the token.
bool is_console_file(const HttpRequest& head) {
  if (head.method != "GET") return false;
  const std::vector<std::string_view> segments = route_segments(head.target);
  return segments.empty() || (segments.size() == 2 && segments[0] == "console");
}

bool is_ws_path(std::string_view target) {
  const std::vector<std::string_view> segments = route_segments(target);
  return segments.size() == 2 && segments[0] == "api" && segments[1] == "ws";
}

HttpResponse method_not_allowed(const std::string& allow) {
  HttpResponse out = error_response(405, "method not allowed; use " + allow);
  out.headers.emplace_back("Allow", allow);
  return out;
}

}  // namespace

HttpResponse json_response(int status, const Value& body) {
  HttpResponse out;
  out.status = status;
  out.body = json_text(body, false);
  return out;
}

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
  if (options_.watchers) watchers_ = options_.watchers;
}

bool Api::origin_allowed(const HttpRequest& head) const {
  const std::string& origin = head.header("origin");
  for (const auto& allowed : options_.allowed_origins) {
    if (allowed == origin) return true;
  }
  return is_same_origin(origin, head.header("host"));
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
  if (head.has_header("origin") && !origin_allowed(head)) {
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
  if (options_.token && !is_console_file(head)) {
    std::optional<std::string_view> given = bearer_token(head.header("authorization"));
    // A browser cannot set headers on a WebSocket upgrade: it names the token
    // in the query instead.
    std::optional<std::string> in_query;
    if (!given && is_ws_path(head.target)) {
      in_query = query_access_token(head.target);
      if (in_query) given = *in_query;
    }
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
  if (!is_ws_path(head.target)) {
    const std::string_view path = std::string_view(head.target).substr(0, head.target.find('?'));
    return error_response(404, "no WebSocket endpoint at " + std::string(path));
  }
  return std::nullopt;
}

const std::vector<Api::Route>& Api::routes() {
  static const std::vector<Route> table = {
      {"GET", "/api/health", &Api::health},
      {"POST", "/api/runs", &Api::post_run},
      {"GET", "/api/runs", &Api::runs},
      {"GET", "/api/runs/{only_id}", &Api::run_detail},
      {"POST", "/api/runs/{only_id}/cancel", &Api::cancel_run},
      {"GET", "/api/runs/{only_id}/logs", &Api::run_logs},
      {"GET", "/api/playbooks", &Api::playbooks},
      {"GET", "/api/playbooks/{uuid}", &Api::playbook_detail},
      {"GET", "/api/timers/next", &Api::timers_next},
      {"GET", "/api/audits", &Api::audits},
      {"POST", "/api/audits/{only_id}/decision", &Api::post_decision},
      {"GET", "/api/openapi.json", &Api::openapi},
      {"GET", "/api/ws", &Api::ws_without_upgrade},
      {"POST", "/rpc", &Api::rpc},
      {"GET", "/metrics", &Api::metrics},
      {"GET", "/", &Api::console_page},
      {"GET", "/console/{file}", &Api::console_file},
  };
  return table;
}

HttpResponse Api::metrics(const HttpRequest&, const Params&) {
  return metrics_response(services_ ? services_->metrics.get() : nullptr);
}

HttpResponse Api::ws_without_upgrade(const HttpRequest&, const Params&) {
  HttpResponse out = error_response(426, "use a WebSocket upgrade on /api/ws");
  out.headers.emplace_back("Upgrade", "websocket");
  return out;
}

Database* Api::store(HttpResponse& refusal) const {
  if (services_ && services_->db) return services_->db.get();
  refusal = error_response(503, "no relational store configured");
  return nullptr;
}

void Api::add_cors(const HttpRequest& request, HttpResponse& response) const {
  if (!request.has_header("origin")) return;
  response.headers.emplace_back("Access-Control-Allow-Origin", request.header("origin"));
  response.headers.emplace_back("Vary", "Origin");
}

HttpResponse Api::handle(const HttpRequest& request) {
  record_wait_ = nullptr;
  // A request admitted just before the server began to stop: what it would
  // call (timer methods, the engine) may already be gone.
  if (draining_) {
    HttpResponse out = error_response(503, "the server is shutting down");
    out.close = true;
    return out;
  }
  HttpResponse out;
  std::string allow;  // the methods of the routes whose path fits
  bool answered = false;
  const std::vector<std::string_view> segments = route_segments(request.target);
  for (const Route& route : routes()) {
    RouteFit fit = fit_route(route.path, segments);
    if (!fit.fits) continue;
    if (request.method != route.method) {
      allow += (allow.empty() ? "" : ", ") + std::string(route.method);
      continue;
    }
    out = fit.malformed ? error_response(400, "malformed run id in the path")
                        : (this->*route.answer)(request, fit.params);
    answered = true;
    break;
  }
  if (!answered) {
    const std::string_view path =
        std::string_view(request.target).substr(0, request.target.find('?'));
    out = allow.empty() ? error_response(404, "no such endpoint: " + std::string(path))
                        : method_not_allowed(allow);
  }
  add_cors(request, out);
  return out;
}

HttpResponse Api::health(const HttpRequest&, const Params&) {
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
  const std::vector<std::string_view> segments = route_segments(request.target);
  return request.method == "POST" && segments.size() == 1 && segments[0] == "rpc";
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
  if (!options_.rpc_executor || draining_ || !is_rpc(request)) {
    HttpResponse out = handle(request);
    std::shared_ptr<RecordWait> wait = std::exchange(record_wait_, nullptr);
    if (wait) out = co_await when_recorded(std::move(wait), std::move(out));
    co_return out;
  }
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

HttpResponse Api::rpc(const HttpRequest& request, const Params&) {
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
