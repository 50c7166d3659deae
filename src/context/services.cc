#include "context/services.h"

#include <spdlog/spdlog.h>

#include "base/errors.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include "stores/failure_counting.h"

namespace vqflow {

// Built-in apps first, then plug-in folders under config.apps_path.
std::shared_ptr<AppLoader> make_app_loader(const Config& config);

boost::asio::awaitable<std::vector<Row>> loop_select(const Services& services, Query query,
                                                     std::optional<long long> limit) {
  if (!services.loop_db) co_return services.db->select(query, limit);
  auto found = services.loop_db->select(std::move(query), limit);
  co_return co_await std::move(found);
}

boost::asio::awaitable<std::vector<long long>> loop_count(const Services& services,
                                                          std::vector<KvCount> steps) {
  if (!services.loop_kv) co_return services.kv->count_many(steps);
  auto counted = services.loop_kv->count_many(std::move(steps));
  co_return co_await std::move(counted);
}

std::shared_ptr<Services> open_services(const Config& config,
                                        boost::asio::any_io_executor executor) {
  auto services = std::make_shared<Services>();
  services->config = config;
  const bool server_database = config.db_url.rfind("postgres", 0) == 0;
  if (server_database && config.kv_url.empty()) {
    throw ConfigError(
        "a key-value store is required with a PostgreSQL database: give --kv "
        "redis://host:port/db (or VQFLOW_KV)");
  }
  Metrics& metrics = *services->metrics;
  services->db = counting_failures(std::shared_ptr<Database>(open_database(config.db_url)),
                                   metrics.db_store_errors, metrics.kv_store_errors);
  auto sqlite_file = services->db->sqlite_path();
  // The zero-set-up path: the embedded tables appear on first use. A server
  // database gets the columns added since its tables were made; a role that
  // may not change them still runs what the tables allow.
  if (sqlite_file) {
    services->db->init_schema();
  } else {
    try {
      services->db->init_schema();
    } catch (const StoreError& e) {
      spdlog::warn("{}: tables not checked ({}); run `vqflow db init` as their owner",
                   services->db->describe(), e.what());
    }
  }
  services->records = std::make_shared<RecordWriter>(services->db);
  // The embedded key-value table shares the database's connection to its file,
  // and the runs' key-value writes on the loop share the records' commits.
  std::unique_ptr<KvStore> kv;
  if (config.kv_url.empty() && sqlite_file) {
    kv = services->db->embedded_kv();
    if (kv) services->db->hold_kv_commits(services->records->flush_arranger(executor));
  }
  if (!kv) kv = open_kv_store(config.kv_url, sqlite_file);
  // Failed writes are counted (GET /metrics) and the last one remembered for
  // the health check.
  services->kv = watch_kv_writes(
      counting_failures(std::shared_ptr<KvStore>(std::move(kv)), metrics.kv_store_errors));
  // Runs await their server store calls on the loop's own connections.
  services->loop_kv = loop_kv(config.kv_url, services->kv, executor, metrics.kv_store_errors);
  services->loop_db = loop_db(config.db_url, services->db, executor, metrics.db_store_errors);
  services->records->use_loop_store(services->loop_db);
  services->apps = make_app_loader(config);
  services->executor = std::move(executor);
  return services;
}

}  // namespace vqflow
