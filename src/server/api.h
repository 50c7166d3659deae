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

namespace vqflow {

// Starts one run and answers its only_id: auto_execute in the server, a fake
// in transport tests. Throws ConfigError for node settings that are not a
// JSON object, before anything is submitted.
using RunStarter = std::function<std::string(std::string uuid, std::shared_ptr<ClientConnection> s,
                                             RunRequest request, RunFinished on_finished)>;

// The starter that hands runs to auto_execute with these services.
RunStarter engine_run_starter(std::shared_ptr<Services> services);

// Runs this server keeps in progress at most, unless told otherwise: requests
// are answered faster than one run loop closes runs, so without a bound a
// steady stream of requests would queue runs (and memory) without end.
constexpr std::size_t k_max_runs_default = 1000;

struct ApiOptions {
  std::optional<std::string> token;          // when set, every request needs it
  std::vector<std::string> allowed_origins;  // exact "scheme://host[:port]" texts
  std::size_t body_limit = 1u << 20;
  // Runs started here and not closed yet; one more is refused (503).
  std::size_t max_runs = k_max_runs_default;
  // The loop the remote methods belong to (the run loop, where the timer
  // service lives); respond() calls them there. Absent: on the caller's thread.
  std::optional<boost::asio::any_io_executor> rpc_executor;
  // How long respond() waits for that loop to answer a remote call.
  std::chrono::milliseconds rpc_timeout{30000};
  // Counts the runs in progress; shared with whatever else starts runs in this
  // process (the timer service), so that max_runs and the shutdown wait see
  // them too. Absent: the Api makes its own.
  std::shared_ptr<RunTracker> tracker;
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
  // /rpc) are called on the calling thread.
  HttpResponse handle(const HttpRequest& request);

  // As handle, but a remote call is carried out on options().rpc_executor
  // while the calling coroutine waits (its loop keeps serving others); a call
  // that loop does not take up within rpc_timeout answers 503 (it may still be
  // carried out later). A call the run loop reaches after set_draining is
  // refused there: whatever the shutdown stops on that loop (the timer
  // service) is never called once it may be gone.
  boost::asio::awaitable<HttpResponse> respond(HttpRequest request);

  // The answer to a WebSocket upgrade that is not to be accepted (wrong path);
  // absent when the upgrade may proceed. Call after admit.
  std::optional<HttpResponse> refuse_upgrade(const HttpRequest& head) const;

  // One text message from a WebSocket client whose connection is `s`. Starts the
  // run it asks for with `s` as the run's connection; answers through `s`:
  // {"method": "run_started", "data": {"only_id": ...}} before any record of
  // the run, or {"method": "error", "data": {"error": ...}}.
  void ws_message(const std::string& text, const std::shared_ptr<ClientConnection>& s);

  // After this, requests are answered 503 and no run starts.
  void set_draining() { draining_ = true; }
  bool draining() const { return draining_; }

  const std::shared_ptr<RunTracker>& tracker() const { return tracker_; }
  const ApiOptions& options() const { return options_; }

 private:
  std::string start(ParsedRunRequest parsed, std::shared_ptr<ClientConnection> s);
  HttpResponse post_run(const HttpRequest& request);
  HttpResponse run_logs(const std::string& only_id);
  HttpResponse health();
  HttpResponse rpc(const HttpRequest& request);
  static bool is_rpc(const HttpRequest& request);
  void add_cors(const HttpRequest& request, HttpResponse& response) const;
  bool origin_allowed(const std::string& origin) const;

  std::shared_ptr<Services> services_;
  const RpcRegistry* rpc_;
  RunStarter start_run_;
  ApiOptions options_;
  std::shared_ptr<RunTracker> tracker_ = std::make_shared<RunTracker>();
  std::atomic<bool> draining_{false};
};

// {"error": message} with the given status.
HttpResponse error_response(int status, const std::string& message);

}  // namespace vqflow
