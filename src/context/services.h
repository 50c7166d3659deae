#pragma once
#include <boost/asio/any_io_executor.hpp>
#include <memory>

#include "base/clock.h"
#include "base/config.h"
#include "base/metrics.h"
#include "base/process_identity.h"
#include "base/utilities.h"
#include "context/active_runs.h"
#include "flow/route_cache.h"
#include "plugins/app_loader.h"
#include "plugins/manifest_cache.h"
#include "stores/async_stores.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "stores/record_writer.h"
#include "value/parsed_json_cache.h"

namespace vqflow {

// What a run needs from the host process: configuration, both stores, the app
// loader, the clock and the event loop that runs the runs. Shared by every run;
// the stores and the loader are thread-safe.
struct Services {
  Config config;
  // The dates of records and timer rows, and the timers' notion of now.
  std::shared_ptr<const Clock> clock = real_clock();
  std::shared_ptr<Database> db;
  std::shared_ptr<KvStore> kv;
  // The same stores as the runs call them on the loop: with Redis and
  // PostgreSQL on connections of the loop's own, so that a run waiting for
  // an answer leaves the loop to the others (absent: the stores above, in place).
  std::shared_ptr<AsyncKv> loop_kv;
  std::shared_ptr<AsyncDb> loop_db;
  std::shared_ptr<AppLoader> apps;
  // Group commit of execution logs, reports and audits; runs write their records
  // through it (absent: straight inserts, one commit each).
  std::shared_ptr<RecordWriter> records;
  // Parsed app manifests (absent: read and parsed on every use).
  std::shared_ptr<ManifestCache> manifests = std::make_shared<ManifestCache>();
  // Parsed playbook documents (absent: parsed on every run).
  std::shared_ptr<ParsedJsonCache> documents = std::make_shared<ParsedJsonCache>();
  // Link tables and routes of those documents (absent: built on every run).
  std::shared_ptr<RouteCache> routes = std::make_shared<RouteCache>();
  // Makes the run identifiers (`only_id`) of the runs started here.
  std::shared_ptr<Random> random = std::make_shared<Random>();
  boost::asio::any_io_executor executor;
  // Who runs the runs started here, as kept in the runs table ("host:pid:starttime").
  std::string owner = this_process().text();
  // The runs in progress here, each with its stop signal.
  std::shared_ptr<ActiveRuns> active = std::make_shared<ActiveRuns>();
  // What this process counts about its runs (GET /metrics); never null.
  std::shared_ptr<Metrics> metrics = std::make_shared<Metrics>();
};

// The rows of `query` through the loop's database (the blocking store
// without one).
boost::asio::awaitable<std::vector<Row>> loop_select(const Services& services, Query query,
                                                     std::optional<long long> limit = std::nullopt);

// KvStore::count_many through the loop's key-value store (the blocking store
// without one).
boost::asio::awaitable<std::vector<long long>> loop_count(const Services& services,
                                                          std::vector<KvCount> steps);

// Opens the stores and the app loader named by `config`; the stores count
// their failures in `metrics`. Throws ConfigError or StoreError with a message
// that says how to fix it.
std::shared_ptr<Services> open_services(const Config& config,
                                        boost::asio::any_io_executor executor);

}  // namespace vqflow
