// `vqflow worker`: runs the runs a queue-mode server put on the Redis stream.
#include <spdlog/spdlog.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>

#include "base/errors.h"
#include "commands.h"
#include "context/services.h"
#include "run/run_recovery.h"
#include "server/graceful_stop.h"
#include "server/queue_worker.h"
#include "stores/redis_link.h"

namespace vqflow::cli {

namespace net = boost::asio;

void add_worker_options(CLI::App& cmd, WorkerFlags& flags) {
  cmd.add_option("--concurrency", flags.concurrency,
                 "Queued runs this process runs at once (default 64)")
      ->check(CLI::Range(1, 100000));
  cmd.add_option("--claim-after", flags.claim_after,
                 "Seconds a queued run may stay taken but not started by a worker before "
                 "another worker takes it over (default 30)")
      ->check(CLI::Range(1.0, 3600.0));
}

QueueWorkerOptions worker_options(const WorkerFlags& flags) {
  QueueWorkerOptions out;
  out.concurrency = flags.concurrency;
  out.claim_after = std::chrono::milliseconds(static_cast<long long>(flags.claim_after * 1000));
  return out;
}

void require_redis(const Config& config, const char* command) {
  if (!is_redis_url(config.kv_url)) {
    throw ConfigError(std::string(command) +
                      ": the run queue needs a redis:// key-value store (--kv redis://HOST:PORT)");
  }
}

namespace {

struct WorkerCommandOptions {
  WorkerFlags flags;
  double shutdown_grace = 30;
};

// Stop taking entries, let the runs in flight close within the grace, then
// interrupt what is left (as serve does) and stop the loop.
net::awaitable<void> drain(QueueWorker* worker, std::shared_ptr<Services> services,
                           RunKeeper* keeper, net::io_context* ioc,
                           std::chrono::milliseconds grace) {
  worker->stop_taking();
  std::function<bool()> idle = [worker] { return worker->idle(); };
  if (!co_await wait_until(idle, grace)) {
    spdlog::warn("vqflow worker: {} run(s) still in progress after the grace; interrupting them",
                 worker->in_flight());
    services->active->stop_all(interrupt_reason(services->owner));
    if (!co_await wait_until(idle, std::chrono::seconds(10))) {
      spdlog::error("vqflow worker: {} run(s) did not close; the next process repairs them",
                    worker->in_flight());
    }
  }
  keeper->stop();
  spdlog::info("vqflow worker: stopped ({} run(s) started)", worker->started());
  ioc->stop();
}

int run_worker(const GlobalOptions& global, const WorkerCommandOptions& options) {
  global.start_process_log();
  Config config = global.resolve();
  require_redis(config, "vqflow worker");
  if (options.shutdown_grace < 0 || options.shutdown_grace > 24 * 3600) {
    throw ConfigError("--shutdown-grace must be between 0 and 86400 seconds");
  }
  std::signal(SIGPIPE, SIG_IGN);
  net::io_context ioc(1);
  auto services = open_services(config, ioc.get_executor());
  RunKeeper keeper(services, true);
  for (const RepairedRun& run : keeper.start()) {
    spdlog::warn("vqflow worker: repaired run {} of playbook {} ({} stopped)", run.only_id,
                 run.uuid, run.owner);
  }
  QueueWorker worker(services, config.kv_url, worker_options(options.flags), nullptr);
  worker.start();
  spdlog::info("vqflow worker: taking queued runs as {} (concurrency {}; {}; {})",
               worker.consumer(), options.flags.concurrency, services->db->describe(),
               services->kv->describe());

  const auto grace =
      std::chrono::milliseconds(static_cast<long long>(options.shutdown_grace * 1000));
  net::signal_set signals(ioc, SIGINT, SIGTERM);
  bool stopping = false;
  std::function<void(const boost::system::error_code&, int)> on_signal =
      [&](const boost::system::error_code& ec, int n) {
        if (ec) return;
        if (stopping) {
          spdlog::info("vqflow worker: signal {} received again; stopping now", n);
          ioc.stop();
          return;
        }
        stopping = true;
        spdlog::info("vqflow worker: signal {} received", n);
        net::co_spawn(ioc, drain(&worker, services, &keeper, &ioc, grace), net::detached);
        signals.async_wait(on_signal);
      };
  signals.async_wait(on_signal);
  auto work = net::make_work_guard(ioc);
  ioc.run();
  return 0;
}

}  // namespace

void add_worker_command(CLI::App& app, GlobalOptions& global) {
  auto options = std::make_shared<WorkerCommandOptions>();
  auto* cmd = app.add_subcommand(
      "worker",
      "Run the runs that `vqflow serve --queue` put on the Redis queue, until SIGINT or SIGTERM");
  add_worker_options(*cmd, options->flags);
  cmd->add_option("--shutdown-grace", options->shutdown_grace,
                  "Seconds runs in progress get to close after SIGINT/SIGTERM (default 30)");
  cmd->callback([&global, options] {
    int code = run_worker(global, *options);
    if (code != 0) throw CLI::RuntimeError(code);
  });
}

}  // namespace vqflow::cli
