#include <csignal>
#include <chrono>
#include <memory>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <spdlog/spdlog.h>

#include "commands.h"
#include "platform/errors.h"
#include "platform/process_log.h"
#include "platform/services.h"
#include "server/api.h"
#include "server/graceful_stop.h"
#include "server/json_rpc.h"
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
};

// What a shutdown needs; lives on the stack of serve() until the loop ends.
struct ServeState {
  net::io_context* ioc;
  Server* server;
  Api* api;
  std::unique_ptr<TimerHost>* timers;
  std::chrono::milliseconds grace;
  bool stopping = false;
};

// Stop taking requests, let the runs in progress close, then stop the loop.
net::awaitable<void> shut_down(ServeState* state) {
  state->server->stop_accepting();
  // No timer fires from here on; nothing calls the timer methods any more.
  state->timers->reset();
  co_await graceful_stop(state->server, state->api, state->grace);
  spdlog::info("vqflow serve: stopped");
  state->ioc->stop();
}

void on_signal(ServeState* state, net::signal_set* signals, const boost::system::error_code& ec,
               int signal_number) {
  if (ec) return;
  if (!state->stopping) {
    state->stopping = true;
    spdlog::info("vqflow serve: signal {} received", signal_number);
    net::co_spawn(*state->ioc, shut_down(state), [](std::exception_ptr e) {
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
  state->ioc->stop();
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
  init_process_log(global.log_file);
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

  // Writes to a client that left must fail, not kill the process.
  std::signal(SIGPIPE, SIG_IGN);
  net::io_context ioc(1);
  auto services = open_services(config, ioc.get_executor());

  RpcRegistry rpc;
  add_ping_method(rpc);
  std::unique_ptr<TimerHost> timers;
  // Throws ServiceLockError (saying to use --no-timers) when another process
  // runs the timers of these stores.
  if (!options.no_timers) timers = TimerHost::start(services, rpc);

  ApiOptions api_options;
  api_options.token = token;
  api_options.allowed_origins = options.allow_origin;
  api_options.body_limit = options.max_body;
  Api api(services, &rpc, engine_run_starter(services), api_options);

  ServerOptions server_options;
  server_options.listen = listen;
  Server server(ioc, api, server_options);
  server.start();
  spdlog::info("vqflow serve: listening on {}{}{}:{} ({}; {}; timers {})",
               listen.host.find(':') != std::string::npos ? "[" : "", listen.host,
               listen.host.find(':') != std::string::npos ? "]" : "", server.port(),
               services->db->describe(), services->kv->describe(), timers ? "on" : "off");

  ServeState state{&ioc, &server, &api, &timers,
                   std::chrono::milliseconds(static_cast<long long>(options.shutdown_grace * 1000))};
  net::signal_set signals(ioc, SIGINT, SIGTERM);
  signals.async_wait([&state, &signals](const boost::system::error_code& ec, int n) {
    on_signal(&state, &signals, ec, n);
  });
  ioc.run();
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
  cmd->add_flag("--no-timers", options->no_timers, "Do not start the timer service");
  cmd->callback([&global, options] {
    int code = serve(global, *options);
    if (code != 0) throw CLI::RuntimeError(code);
  });
}

}  // namespace vqflow::cli
