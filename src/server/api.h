#pragma once
#include <atomic>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "context/client_connection.h"
#include "context/services.h"
#include "rpc/rpc_registry.h"
#include "run/auto_execute.h"
#include "run/run_admission.h"
#include "run/run_tracker.h"
#include "server/http_types.h"
#include "server/run_request.h"
#include "server/run_subscribers.h"

namespace vqflow {

// Starts one run and answers its only_id: auto_execute in the server, a fake
// in transport tests. Throws ConfigError for node settings that are not a
// JSON object, before anything is submitted. `on_recorded` (may be null) is
// called once the run's state row is stored, or with why it is not.
using RunStarter = std::function<std::string(std::string uuid, std::shared_ptr<ClientConnection> s,
                                             RunRequest request, RunFinished on_finished,
                                             RunRecorded on_recorded)>;

// The starter that hands runs to auto_execute with these services.
RunStarter engine_run_starter(std::shared_ptr<Services> services);

// As `inner`, but each run's messages also reach the clients that watch its
// only_id in `watchers` (WebSocket "subscribe"); the run's own connection, if
// any, still gets them first-hand.
RunStarter watched_run_starter(RunStarter inner, std::shared_ptr<RunSubscribers> watchers);

// Runs this server keeps in progress at most, unless told otherwise: requests
// are answered faster than one run loop closes runs, so without a bound a
// steady stream of requests would queue runs (and memory) without end.
constexpr std::size_t k_max_runs_default = 1000;

class RunQueue;

struct ApiOptions {
  // When set, every request needs it, but for the console's own files (the
  // page asks for the token).
  std::optional<std::string> token;
  // Exact "scheme://host[:port]" texts; the server's own origin (the Host the
  // request names) is always allowed.
  std::vector<std::string> allowed_origins;
  std::size_t body_limit = 1u << 20;
  // Runs started here and not closed yet; one more is refused (503).
  std::size_t max_runs = k_max_runs_default;
  // The loop the remote methods belong to (the run loop, where the timer
  // service lives); respond() calls them there. Absent: on the caller's thread.
  std::optional<boost::asio::any_io_executor> rpc_executor;
  // How long respond() waits for that loop to answer a remote call.
  std::chrono::milliseconds rpc_timeout{30000};
  // How long respond() holds the 202 of a run request until the run's state
  // row is stored; later it answers 503 (the run may still go on).
  std::chrono::milliseconds record_timeout{30000};
  // Counts the runs in progress; shared with whatever else starts runs in this
  // process (the timer service), so that max_runs and the shutdown wait see
  // them too. Absent: the Api makes its own.
  std::shared_ptr<RunTracker> tracker;
  // The clients watching runs (WebSocket "subscribe"); the run starter must
  // publish to the same (watched_run_starter). Absent: the Api makes its own.
  std::shared_ptr<RunSubscribers> watchers;
  // Queue mode: runs and decisions go on this queue for the workers instead
  // of being started here; a 202 waits for a worker's word that the run's row
  // is stored. max_runs does not apply (the queue has its own bound).
  std::shared_ptr<RunQueue> queue;
};

// A run refused because max_runs runs of this server are in progress.
class RunLimitError : public Error {
 public:
  using Error::Error;
};

// The request handlers of `vqflow serve`, free of any transport: the Beast
// session feeds them parsed requests and WebSocket messages. Called on the
// server's loop thread, one at a time; the runs they start go to the run loop
// (another thread), which reaches back only through the RunTracker (locked),
// the ClientConnection of a WebSocket client (hands messages to the server's
// loop) and the remote calls of respond().
class Api {
 public:
  // `services` may be null (transport tests): logs and health then report that
  // no store is configured. `rpc` must outlive the Api.
  Api(std::shared_ptr<Services> services, const RpcRegistry* rpc, RunStarter start_run,
      ApiOptions options);

  // Checks made on the request line and headers before the body is read: a
  // server shutting down, the Host of a token-less server, the Origin, the
  // token, the announced body size; CORS preflights are answered here. Absent
  // when the request may go on.
  std::optional<HttpResponse> admit(const HttpRequest& head,
                                    std::optional<std::uint64_t> content_length) const;

  // Answers an admitted request (body read in full). Remote methods (POST
  // /rpc) are called on the calling thread. A run request is answered 202 as
  // soon as its run is submitted (respond() waits until it is stored).
  HttpResponse handle(const HttpRequest& request);

  // As handle, but a remote call is carried out on options().rpc_executor
  // while the calling coroutine waits (its loop keeps serving others); a call
  // that loop does not take up within rpc_timeout answers 503 (it may still be
  // carried out later). The 202 of a run request (POST /api/runs, a decision)
  // waits until the run's state row is stored, so that a run answered 202 is
  // known to the stores even if this process dies at once; when it cannot be
  // stored the answer is the refusal (404, 409, 503). A call the run loop reaches after
  // set_draining is refused there: whatever the shutdown stops on that loop (the timer service) is
  // never called once it may be gone.
  boost::asio::awaitable<HttpResponse> respond(HttpRequest request);

  // The answer to a WebSocket upgrade that is not to be accepted (wrong path);
  // absent when the upgrade may proceed. Call after admit.
  std::optional<HttpResponse> refuse_upgrade(const HttpRequest& head) const;

  // One text message from a WebSocket client whose connection is `s`, answered
  // through `s`. {"method": "run", "data": request} starts the run with `s` as
  // its connection: {"method": "run_started", "data": {"only_id": ...}} comes
  // before any record of the run. {"method": "subscribe", "data": {"only_id":
  // ...}} makes `s` a watcher of that run of this process from then on:
  // {"method": "subscribed", "data": {"only_id", "running_here"}}. A refusal
  // is {"method": "error", "data": {"error": ...}}.
  void ws_message(const std::string& text, const std::shared_ptr<ClientConnection>& s);
  // The WebSocket client `s` left: it watches nothing any more.
  void ws_closed(const ClientConnection* s);

  // One route: the method and the path pattern, whose "{name}" segments are
  // handed to `answer` percent-decoded, in order. Every "/api/..." route also
  // answers under "/api/v1/...".
  struct Route {
    const char* method;
    const char* path;
    HttpResponse (Api::*answer)(const HttpRequest&, const std::vector<std::string>&);
  };
  // The routing table handle() dispatches on (the API document lists the same).
  static const std::vector<Route>& routes();

  // After this, requests are answered 503 and no run starts.
  void set_draining() { draining_ = true; }
  bool draining() const { return draining_; }

  const std::shared_ptr<RunTracker>& tracker() const { return tracker_; }
  const ApiOptions& options() const { return options_; }

 private:
  using Params = std::vector<std::string>;

  struct RecordWait;
  // `body` is the request `parsed` was read from (queue mode sends it on).
  std::string start(const Value& body, ParsedRunRequest parsed, std::shared_ptr<ClientConnection> s,
                    RunRecorded on_recorded = nullptr);
  std::string enqueue(const Value& body, ParsedRunRequest parsed,
                      std::shared_ptr<ClientConnection> s, RunRecorded on_recorded);
  // `answer` once `wait` is told the run is stored, else the refusal.
  boost::asio::awaitable<HttpResponse> when_recorded(std::shared_ptr<RecordWait> wait,
                                                     HttpResponse answer);
  Value subscribe(const Value& data, const std::shared_ptr<ClientConnection>& s);
  // Starts the run a request body asks for: 202 {"only_id"}, or the refusal.
  HttpResponse start_answer(const Value& body);
  HttpResponse post_run(const HttpRequest& request, const Params& params);
  HttpResponse post_decision(const HttpRequest& request, const Params& params);
  HttpResponse runs(const HttpRequest& request, const Params& params);
  HttpResponse run_detail(const HttpRequest& request, const Params& params);
  HttpResponse cancel_run(const HttpRequest& request, const Params& params);
  HttpResponse run_logs(const HttpRequest& request, const Params& params);
  HttpResponse playbooks(const HttpRequest& request, const Params& params);
  HttpResponse playbook_detail(const HttpRequest& request, const Params& params);
  HttpResponse timers_next(const HttpRequest& request, const Params& params);
  HttpResponse console_page(const HttpRequest& request, const Params& params);
  HttpResponse console_file(const HttpRequest& request, const Params& params);
  HttpResponse audits(const HttpRequest& request, const Params& params);
  HttpResponse openapi(const HttpRequest& request, const Params& params);
  HttpResponse health(const HttpRequest& request, const Params& params);
  HttpResponse ws_without_upgrade(const HttpRequest& request, const Params& params);
  HttpResponse rpc(const HttpRequest& request, const Params& params);
  HttpResponse metrics(const HttpRequest& request, const Params& params);
  // The relational store, or the 503 that says none is configured.
  Database* store(HttpResponse& refusal) const;
  static bool is_rpc(const HttpRequest& request);
  void add_cors(const HttpRequest& request, HttpResponse& response) const;
  bool origin_allowed(const HttpRequest& head) const;

  std::shared_ptr<Services> services_;
  const RpcRegistry* rpc_;
  RunStarter start_run_;
  ApiOptions options_;
  std::shared_ptr<RunTracker> tracker_ = std::make_shared<RunTracker>();
  std::shared_ptr<RunSubscribers> watchers_ = std::make_shared<RunSubscribers>();
  std::atomic<bool> draining_{false};
  // What the run request handle() last answered 202 waits for; taken by
  // respond(). Server loop only.
  std::shared_ptr<RecordWait> record_wait_;
};

// The answer to a run request whose run did not start, or was not stored:
// `failure` rethrown (a store failure 503, a full server or queue 503 with
// Retry-After, a refused decision 409...).
HttpResponse run_refusal(std::exception_ptr failure, bool draining);

// {"error": message} with the given status.
HttpResponse error_response(int status, const std::string& message);
// `body` as compact JSON with the given status.
HttpResponse json_response(int status, const Value& body);

// The API document (OpenAPI 3.1) of every route, as JSON text.
const std::string& openapi_document();

}  // namespace vqflow
