#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <thread>

#include "base/errors.h"
#include "base/process_log.h"
#include "commands.h"
#include "context/services.h"
#include "rpc/json_rpc.h"
#include "run/run_recovery.h"
#include "server/api.h"
#include "server/graceful_stop.h"
#include "server/queue_worker.h"
#include "server/run_queue.h"
#include "server/security.h"
#include "server/server.h"
#include "timers/timer_host.h"

namespace vqflow::cli {

namespace {

namespace net = boost::asio;

struct ServeOptions {
  std::string listen = "127.0.0.1:8080";
  std::optional<std::string> token_file;
  std::vector<std::string> allow_origin;
  double shutdown_grace = 30;
  std::size_t max_body = 1u << 20;
  bool no_timers = false;
  std::size_t max_runs = k_max_runs_default;
  double first_request_timeout = 10;
  int timer_lock_seconds = 30;
  bool queue = false;
  std::size_t queue_max = k_queue_max_default;
  bool no_worker = false;
  WorkerFlags worker;
};

// What a shutdown needs; lives on the stack of serve() until both loops end.
// The server, its connections and the signals live on the HTTP loop (its own
// thread); the runs, the timer service and the stores' loop work on the run
// loop (serve()'s thread).
struct ServeState {
  net::io_context* run_ioc;
  net::io_context* http_ioc;
  Server* server;
  Api* api;
  std::unique_ptr<TimerHost>* timers;
  std::chrono::milliseconds grace;
  std::shared_ptr<Services> services;
  QueueWorker* worker;    // null unless this server runs queued runs
  bool stopping = false;  // HTTP loop only
};

// Runs still in progress after the grace are stopped as interrupted: each
// records it and closes (its app's process group is stopped). Waits up to
// `limit` for them to close.
net::awaitable<void> interrupt_cut_runs(ServeState* state, std::chrono::milliseconds limit) {
  std::shared_ptr<RunTracker> tracker = state->api->tracker();
  if (tracker->in_progress() == 0) co_return;
  auto services = state->services;
  net::post(*state->run_ioc,
            [services] { services->active->stop_all(interrupt_reason(services->owner)); });
  std::function<bool()> closed = [tracker] { return tracker->in_progress() == 0; };
  if (!co_await wait_until(closed, limit)) {
    spdlog::error(
        "vqflow serve: {} run(s) did not close after being interrupted; the next "
        "process to open the stores repairs them",
        tracker->in_progress());
  }
}

// Stops the timer service on the run loop, where it lives; waits (on the HTTP
// loop) until that is done or `limit` has passed.
net::awaitable<void> stop_timers(ServeState* state, std::chrono::milliseconds limit) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  net::post(*state->run_ioc, [state, done] {
    state->timers->reset();
    *done = true;
  });
  // Named first: g++ 12 destroys a closure temporary of a co_await
  // expression twice.
  std::function<bool()> stopped = [done] { return done->load(); };
  const bool in_time = co_await wait_until(stopped, limit, std::chrono::milliseconds(5));
  // Not in time: the timer service is stopped once the run loop has stopped.
  if (!in_time && limit.count() > 0) {
    spdlog::error("vqflow serve: the run loop did not stop the timer service in time");
  }
}

// Stop taking requests, let the runs in progress close, then stop both loops.
net::awaitable<void> shut_down(ServeState* state) {
  // Draining first: a remote call the run loop reaches after this is refused
  // there, so none reaches the timer service once it is gone.
  state->server->stop_accepting();
  if (state->worker) state->worker->stop_taking();
  // No timer fires from here on. The run loop first works through what was
  // queued before; that wait counts against the grace.
  const auto began = std::chrono::steady_clock::now();
  co_await stop_timers(state, state->grace);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - began);
  co_await graceful_stop(state->server, state->api,
                         std::max(state->grace - waited, std::chrono::milliseconds(0)));
  co_await interrupt_cut_runs(state, std::chrono::seconds(10));
  spdlog::info("vqflow serve: stopped");
  state->run_ioc->stop();
  state->http_ioc->stop();
}

void on_signal(ServeState* state, net::signal_set* signals, const boost::system::error_code& ec,
               int signal_number) {
  if (ec) return;
  if (!state->stopping) {
    state->stopping = true;
    spdlog::info("vqflow serve: signal {} received", signal_number);
    net::co_spawn(*state->http_ioc, shut_down(state), [](std::exception_ptr e) {
      if (e) std::rethrow_exception(e);
    });
    // A second signal stops at once.
    signals->async_wait([state, signals](const boost::system::error_code& ec2, int n) {
      on_signal(state, signals, ec2, n);
    });
    return;
  }
  spdlog::info("vqflow serve: signal {} received again; stopping now", signal_number);
  log_cut_short_runs(*state->api);
  state->run_ioc->stop();
  state->http_ioc->stop();
}

void check_origin(const std::string& origin) {
  auto scheme_end = origin.find("://");
  const bool ok = scheme_end != std::string::npos && scheme_end > 0 &&
                  origin.size() > scheme_end + 3 &&
                  origin.find('/', scheme_end + 3) == std::string::npos && origin != "*";
  if (!ok) {
    throw ConfigError("--allow-origin \"" + origin +
                      "\": give an origin as scheme://host[:port], e.g. https://soc.example.com");
  }
}

int serve(const GlobalOptions& global, const ServeOptions& options) {
  global.start_process_log();
  Config config = global.resolve();
  ListenAddress listen = parse_listen_address(options.listen);
  std::optional<std::string> token;
  if (options.token_file) token = read_token_file(*options.token_file);
  if (!token && !is_loopback_ip(listen.host)) {
    throw ConfigError("--listen " + options.listen +
                      ": listening beyond loopback needs --token-file (the clients' bearer token)");
  }
  for (const auto& origin : options.allow_origin) check_origin(origin);
  if (options.shutdown_grace < 0 || options.shutdown_grace > 24 * 3600) {
    throw ConfigError("--shutdown-grace must be between 0 and 86400 seconds");
  }
  if (options.max_body < 1024) throw ConfigError("--max-body must be at least 1024 bytes");
  if (options.max_runs < 1) throw ConfigError("--max-runs must be at least 1");
  if (options.queue) require_redis(config, "vqflow serve --queue");
  if (!options.queue && options.no_worker) throw ConfigError("--no-worker needs --queue");

  // Writes to a client that left must fail, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Requests are answered on a loop of their own, so that a long turn of the
  // run loop (a group commit of records) does not hold them up. Declared first,
  // destroyed last: runs left on the run loop still hold WebSocket connections.
  net::io_context http_ioc(1);
  net::io_context run_ioc(1);
  auto services = open_services(config, run_ioc.get_executor());

  // Repairs the runs that dead processes left, now and every few seconds;
  // renews this process's lease and sees cancels of its runs.
  RunKeeper keeper(services, true);
  for (const RepairedRun& run : keeper.start()) {
    spdlog::warn("vqflow serve: repaired run {} of playbook {} ({} stopped)", run.only_id, run.uuid,
                 run.owner);
  }

  RpcRegistry rpc;
  add_ping_method(rpc);
  // Runs the timers start count with those of the API: the shutdown waits for
  // them too, and they take room under --max-runs (they are never refused).
  auto tracker = std::make_shared<RunTracker>();
  std::unique_ptr<TimerHost> timers;
  // When another process runs the timers of these stores, this one waits as
  // a standby and takes them over once that process's lock expires.
  if (!options.no_timers) {
    ServiceLockOptions lock_options;
    lock_options.ttl = std::chrono::seconds(options.timer_lock_seconds);
    lock_options.renew_every = std::max(lock_options.ttl / 3, std::chrono::seconds(1));
    const auto retry =
        std::min<std::chrono::milliseconds>(k_standby_retry_default, lock_options.renew_every);
    timers = TimerHost::start(services, rpc, lock_options, tracker, retry);
  }

  ApiOptions api_options;
  api_options.token = token;
  api_options.allowed_origins = options.allow_origin;
  api_options.body_limit = options.max_body;
  api_options.max_runs = options.max_runs;
  // The timer methods belong to the run loop, where the timer service lives.
  api_options.rpc_executor = run_ioc.get_executor();
  api_options.tracker = tracker;
  api_options.watchers = std::make_shared<RunSubscribers>();
  std::unique_ptr<QueueWorker> worker;
  if (options.queue) {
    api_options.queue = std::make_shared<RunQueue>(
        config.kv_url, options.queue_max, api_options.record_timeout, api_options.watchers);
    if (!options.no_worker) {
      worker = std::make_unique<QueueWorker>(services, config.kv_url,
                                             worker_options(options.worker), tracker);
      worker->start();
    }
  }
  Api api(services, &rpc, watched_run_starter(engine_run_starter(services), api_options.watchers),
          api_options);

  ServerOptions server_options;
  server_options.listen = listen;
  server_options.first_request_timeout =
      std::chrono::milliseconds(static_cast<long long>(options.first_request_timeout * 1000));
  Server server(http_ioc, api, server_options);
  server.start();
  const std::string queue_mode = !options.queue ? ""
                                 : worker       ? "; queue mode, worker " + worker->consumer()
                                                : "; queue mode, no worker";
  spdlog::info("vqflow serve: listening on {}{}{}:{} ({}; {}; timers {}{})",
               listen.host.find(':') != std::string::npos ? "[" : "", listen.host,
               listen.host.find(':') != std::string::npos ? "]" : "", server.port(),
               services->db->describe(), services->kv->describe(),
               timers ? (timers->active() ? "on" : "standby") : "off", queue_mode);

  ServeState state{
      &run_ioc, &http_ioc,
      &server,  &api,
      &timers,  std::chrono::milliseconds(static_cast<long long>(options.shutdown_grace * 1000)),
      services, worker.get()};
  net::signal_set signals(http_ioc, SIGINT, SIGTERM);
  signals.async_wait([&state, &signals](const boost::system::error_code& ec, int n) {
    on_signal(&state, &signals, ec, n);
  });

  // Only a shutdown ends the run loop, also while no run or timer is pending.
  auto run_work = net::make_work_guard(run_ioc);
  std::exception_ptr http_failure;
  std::thread http_thread([&http_ioc, &run_ioc, &http_failure] {
    try {
      http_ioc.run();
    } catch (...) {
      http_failure = std::current_exception();
      run_ioc.stop();
    }
  });
  // Also when the run loop throws: the HTTP thread ends before anything it uses.
  struct JoinHttp {
    net::io_context& ioc;
    std::thread& thread;
    ~JoinHttp() {
      ioc.stop();
      if (thread.joinable()) thread.join();
    }
  } join_http{http_ioc, http_thread};
  run_ioc.run();
  http_ioc.stop();
  http_thread.join();
  if (http_failure) std::rethrow_exception(http_failure);
  return 0;
}

}  // namespace

void add_serve_command(CLI::App& app, GlobalOptions& global) {
  auto options = std::make_shared<ServeOptions>();
  auto* cmd = app.add_subcommand(
      "serve", "Serve the run API, live logs and remote calls over HTTP until SIGINT or SIGTERM");
  cmd->add_option("--listen", options->listen,
                  "Address and port to listen on (default 127.0.0.1:8080; port 0 picks one); "
                  "beyond loopback needs --token-file");
  cmd->add_option("--token-file", options->token_file,
                  "File holding the bearer token every request must carry");
  cmd->add_option("--allow-origin", options->allow_origin,
                  "Origin (scheme://host[:port]) whose browser pages may call the server; "
                  "repeatable");
  cmd->add_option("--shutdown-grace", options->shutdown_grace,
                  "Seconds runs in progress get to close after SIGINT/SIGTERM (default 30)");
  cmd->add_option("--max-body", options->max_body,
                  "Largest request body in bytes (default 1048576)");
  cmd->add_option("--max-runs", options->max_runs,
                  "Runs started through the API that may be in progress at once; further "
                  "requests answer 503 with Retry-After (default 1000)");
  cmd->add_option("--first-request-timeout", options->first_request_timeout,
                  "Seconds a new connection has to send its first request's headers "
                  "(default 10)")
      ->check(CLI::PositiveNumber);
  cmd->add_option("--timer-lock-seconds", options->timer_lock_seconds,
                  "Lifetime of the timer service's lock; a standby takes the timers over "
                  "within about this long after their holder died on another host, at once "
                  "when it died on this one (default 30)")
      ->check(CLI::Range(2, 3600));
  cmd->add_flag("--no-timers", options->no_timers, "Do not start the timer service");
  cmd->add_flag("--queue", options->queue,
                "Put accepted runs and decisions on the Redis run queue for workers "
                "(needs a redis:// --kv); this server runs a worker too unless --no-worker");
  cmd->add_option("--queue-max", options->queue_max,
                  "Runs the queue holds not yet started; further requests answer 503 with "
                  "Retry-After (default 10000)")
      ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}));
  cmd->add_flag("--no-worker", options->no_worker,
                "With --queue: only take requests, run no queued run here");
  add_worker_options(*cmd, options->worker);
  cmd->callback([&global, options] {
    int code = serve(global, *options);
    if (code != 0) throw CLI::RuntimeError(code);
  });
}

}  // namespace vqflow::cli
