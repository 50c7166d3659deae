#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/services.h"
#include "run/auto_execute.h"
#include "run/client_connection.h"
#include "server/http_types.h"
#include "server/rpc_registry.h"
#include "server/run_request.h"
#include "server/run_tracker.h"

namespace vqflow {

// Starts one run and answers its only_id: auto_execute in the server, a fake
// in transport tests. Throws ConfigError for node settings that are not a
// JSON object, before anything is submitted.
using RunStarter = std::function<std::string(std::string uuid, std::shared_ptr<ClientConnection> s,
                                             RunRequest request, RunFinished on_finished)>;

// The starter that hands runs to auto_execute with these services.
RunStarter engine_run_starter(std::shared_ptr<Services> services);

struct ApiOptions {
  std::optional<std::string> token;          // when set, every request needs it
  std::vector<std::string> allowed_origins;  // exact "scheme://host[:port]" texts
  std::size_t body_limit = 1u << 20;
};

// The request handlers of `vqflow serve`, free of any transport: the Beast
// session feeds them parsed requests and WebSocket messages. Called on the
// server's loop, one at a time.
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

  // Answers an admitted request (body read in full).
  HttpResponse handle(const HttpRequest& request);

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
