// Whole runs with every record stored: the embedded default (SQLite file with
// the key-value table inside) against the floor of the same store steps
// written as plain sqlite3 calls, and Redis + PostgreSQL against the floor of
// the same round trips made by a plain hiredis + libpq client (stores_floor.cc).
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <fstream>
#include <ranges>

#include "base/utilities.h"
#include "macro.h"
#include "run/auto_execute.h"
#include "stores/async_stores.h"
#include "stores/kv_store.h"
#include "stores/sqlite_kv_store.h"

namespace vqflow::bench {

namespace {

const std::string k_playbook = "bench-10";

// Store operations of one run, counted during one warm-up run, with what the
// floor needs to repeat them: the key-value steps in order and the stored rows.
struct RunSteps {
  long kv_writes = 0;
  long kv_reads = 0;
  long db_selects = 0;
  long logs = 0;
  long reports = 0;
  long other_writes = 0;
  std::string only_id;
  std::vector<StoreCounts::KvStep> kv_steps;
  std::vector<Row> log_rows;
  std::vector<Row> report_rows;
  std::vector<StoreCounts::TraceStep> trace;  // the run's round trips, in order
  std::string text() const {
    std::size_t bytes = 0;
    for (const auto& step : kv_steps) bytes += step.key.size() + step.value.size();
    for (const auto* rows : {&log_rows, &report_rows}) {
      for (const Row& row : *rows) bytes += json_text(row).size();
    }
    return fmt::format(
        "{} kv writes, {} kv reads, {} selects, {} log rows, {} report rows{} ({} bytes of keys, "
        "values and rows)",
        kv_writes, kv_reads, db_selects, logs, reports,
        other_writes ? fmt::format(", {} other writes", other_writes) : "", bytes);
  }
};

// The rows of `table` whose `column` is `only_id`, without their ids.
std::vector<Row> stored_rows(Database& db, const std::string& table, const std::string& column,
                             const std::string& only_id) {
  std::vector<Row> rows = db.table(table).where(column, only_id).get();
  for (Row& row : rows) row.erase("id");
  return rows;
}

// One run through wrappers that count the key-value and select calls; stored
// rows are counted in the tables afterwards, so rows written by a group
// commit behind the engine's back are counted too.
RunSteps count_steps(const std::shared_ptr<Services>& services) {
  auto counts = std::make_shared<StoreCounts>();
  auto counted = std::make_shared<Services>(*services);
  counted->kv = counting_kv(services->kv, counts);
  counted->db = counting_db(services->db, counts);
  // Through the counting stores, in place, so that each round trip is seen
  // in the order the run makes it.
  counted->loop_kv = in_place_kv(counted->kv);
  counted->loop_db = in_place_db(counted->db);
  counted->records = std::make_shared<RecordWriter>(counted->db);
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  const std::string only_id =
      auto_execute(counted, k_playbook, nullptr, RunRequest{}, [&](const RunOutcome&) {
        std::lock_guard lock(mutex);
        done = true;
        cv.notify_all();
      });
  {
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) {
      throw std::runtime_error("the counted run did not finish within 30 s");
    }
  }
  RunSteps steps;
  steps.kv_writes = counts->kv_writes;
  steps.kv_reads = counts->kv_reads;
  steps.db_selects = counts->db_selects;
  steps.other_writes = counts->db_other_writes;
  steps.only_id = only_id;
  {
    std::lock_guard lock(counts->mutex);
    steps.kv_steps = counts->kv_steps;
    steps.trace = counts->trace;
  }
  steps.log_rows = stored_rows(*services->db, "logs", "only_id", only_id);
  steps.report_rows = stored_rows(*services->db, "report", "report_no", only_id);
  steps.logs = static_cast<long>(steps.log_rows.size());
  steps.reports = static_cast<long>(steps.report_rows.size());
  return steps;
}

// ---- the plain sqlite3 floor -------------------------------------------------------

class Sqlite {
 public:
  explicit Sqlite(const std::string& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) fail("open");
    // The engine's page cache size, so that neither side reads pages the other keeps.
    exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA cache_size=-32768;");
  }
  ~Sqlite() {
    for (sqlite3_stmt* s : statements_) sqlite3_finalize(s);
    sqlite3_close(db_);
  }
  void exec(const std::string& sql) {
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) fail(sql.c_str());
  }
  sqlite3_stmt* prepare(const std::string& sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v3(db_, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
        SQLITE_OK)
      fail(sql.c_str());
    statements_.push_back(s);
    return s;
  }
  // Binds the values in order (texts, integers, reals, null; anything else as
  // JSON text) and steps to the end.
  void run(sqlite3_stmt* s, const std::vector<Value>& values) {
    int i = 1;
    for (const Value& v : values) {
      if (v.is_string()) {
        const auto& t = v.get_ref<const std::string&>();
        sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_STATIC);
      } else if (v.is_number_integer()) {
        sqlite3_bind_int64(s, i, v.get<long long>());
      } else if (v.is_number_float()) {
        sqlite3_bind_double(s, i, v.get<double>());
      } else if (v.is_null()) {
        sqlite3_bind_null(s, i);
      } else {
        const std::string t = json_text(v);
        sqlite3_bind_text(s, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
      }
      ++i;
    }
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) fail("step");
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
  }

 private:
  [[noreturn]] void fail(const char* what) {
    throw std::runtime_error(fmt::format("sqlite {}: {}", what, sqlite3_errmsg(db_)));
  }
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
};

// The row's values in column order, the recorded run's id replaced by `only_id`.
std::vector<Value> row_values(const Row& row, const std::string& recorded_id,
                              const std::string& only_id) {
  std::vector<Value> values;
  for (const auto& [name, value] : row.items()) {
    values.push_back(value.is_string()
                         ? Value(replaced(value.get<std::string>(), recorded_id, only_id))
                         : value);
  }
  return values;
}

// INSERT INTO `table` naming the columns of `row`.
std::string insert_sql(const std::string& table, const Row& row) {
  std::string names;
  std::string params;
  int i = 1;
  for (const auto& [name, value] : row.items()) {
    names += fmt::format("{}\"{}\"", names.empty() ? "" : ", ", name);
    params += fmt::format("{}?{}", params.empty() ? "" : ", ", i++);
  }
  return fmt::format("INSERT INTO \"{}\" ({}) VALUES ({})", table, names, params);
}

// Serial runs/s of the counted run's store steps as plain autocommitted
// statements: the engine's own schema, the same keys, values and rows, each
// run under a new id made as the engine makes them (random keys land all over
// the key-value table and the logs' index, as the engine's do).
double sqlite_floor(const std::string& path, const RunSteps& steps, double seconds) {
  {
    auto schema = open_database(path);
    schema->init_schema();
    schema->insert("workflow", ten_node_playbook(k_playbook));
  }
  Sqlite db(path);
  db.exec(sqlite_kv_table_sql());
  sqlite3_stmt* upsert = db.prepare(
      "INSERT INTO kv (key, value, expires_at) VALUES (?1, ?2, ?3) ON CONFLICT (key) DO UPDATE "
      "SET value = excluded.value, expires_at = excluded.expires_at");
  sqlite3_stmt* count = db.prepare(
      "INSERT INTO kv (key, value, expires_at) VALUES (?1, '1', NULL) ON CONFLICT (key) DO "
      "UPDATE SET value = CAST(CAST(kv.value AS TEXT) AS INTEGER) + 1");
  sqlite3_stmt* remove = db.prepare("DELETE FROM kv WHERE key = ?1");
  sqlite3_stmt* read =
      db.prepare("SELECT value FROM kv WHERE key = ?1 AND (expires_at IS NULL OR expires_at > ?2)");
  sqlite3_stmt* select = db.prepare("SELECT * FROM \"workflow\" WHERE \"uuid\" = ?1 LIMIT 1");
  std::vector<std::pair<sqlite3_stmt*, const Row*>> rows;
  for (const Row& row : steps.log_rows)
    rows.emplace_back(db.prepare(insert_sql("logs", row)), &row);
  for (const Row& row : steps.report_rows) {
    rows.emplace_back(db.prepare(insert_sql("report", row)), &row);
  }

  const long long now_ms = static_cast<long long>(now_seconds() * 1000);
  long runs = 0;
  const double start = now_seconds();
  const double end = start + seconds;
  Random ids;  // run identifiers made as the engine makes them
  while (now_seconds() < end) {
    const std::string only_id = ids.make_order_number(10);
    for (const StoreCounts::KvStep& step : steps.kv_steps) {
      const Value key = replaced(step.key, steps.only_id, only_id);
      switch (step.kind) {
        case StoreCounts::KvStep::read:
          db.run(read, {key, now_ms});
          break;
        case StoreCounts::KvStep::count:
          db.run(count, {key});
          break;
        case StoreCounts::KvStep::remove:
          db.run(remove, {key});
          break;
        case StoreCounts::KvStep::write:
          db.run(upsert,
                 {key, step.value,
                  step.expire_seconds ? Value(now_ms + *step.expire_seconds * 1000) : Value()});
          break;
      }
    }
    for (long i = 0; i < steps.db_selects; ++i) db.run(select, {k_playbook});
    for (const auto& [statement, row] : rows) {
      db.run(statement, row_values(*row, steps.only_id, only_id));
    }
    ++runs;
  }
  return static_cast<double>(runs) / (now_seconds() - start);
}

// ---- PostgreSQL --------------------------------------------------------------------

// libpq takes the URL without our own query parameters.
std::string conninfo(const std::string& url) { return url.substr(0, url.find('?')); }

struct PgConn {
  PGconn* conn = nullptr;
  explicit PgConn(const std::string& url) {
    conn = PQconnectdb(conninfo(url).c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
      std::string message = PQerrorMessage(conn);
      PQfinish(conn);
      conn = nullptr;
      throw std::runtime_error("postgresql connect: " + message);
    }
  }
  ~PgConn() {
    if (conn) PQfinish(conn);
  }
  // The server's setting `name` (SHOW), or "?" when it cannot be read.
  std::string show(const std::string& name) {
    PGresult* r = PQexec(conn, ("SHOW " + name).c_str());
    std::string value =
        PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) == 1 ? PQgetvalue(r, 0, 0) : "?";
    PQclear(r);
    return value;
  }
  void exec(const std::string& sql) {
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);  // DROP ... CASCADE chatter
    PGresult* r = PQexec(conn, sql.c_str());
    const auto status = PQresultStatus(r);
    std::string message = PQresultErrorMessage(r);
    PQclear(r);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      throw std::runtime_error("postgresql " + sql.substr(0, 40) + ": " + message);
    }
  }
};

// Commits/s of 16 connections each committing one log-like row at a time.
double pg_commit_limit(const std::string& url, const std::string& schema, double seconds) {
  {
    PgConn admin(url);
    admin.exec(fmt::format(
        "CREATE TABLE \"{}\".commit_probe (id BIGSERIAL PRIMARY KEY, only_id TEXT, uuid TEXT, "
        "app_uuid TEXT, app_name TEXT, result TEXT, status INTEGER, html TEXT, args TEXT, "
        "create_time TEXT)",
        schema));
  }
  constexpr int k_connections = 16;
  std::atomic<long> commits{0};
  std::atomic<bool> failed{false};
  std::string failure;
  std::mutex failure_mutex;
  const double start = now_seconds();
  const double end = start + seconds;
  std::vector<std::thread> threads;
  for (int t = 0; t < k_connections; ++t) {
    threads.emplace_back([&, t] {
      try {
        PgConn c(url);
        c.exec("SET synchronous_commit = on");
        PGresult* p = PQprepare(c.conn, "ins",
                                fmt::format("INSERT INTO \"{}\".commit_probe (only_id, uuid, "
                                            "app_uuid, app_name, result, status, html, args, "
                                            "create_time) VALUES ($1,$2,$3,$4,$5,$6,$7,$8,$9)",
                                            schema)
                                    .c_str(),
                                9, nullptr);
        const bool prepared = PQresultStatus(p) == PGRES_COMMAND_OK;
        PQclear(p);
        if (!prepared) throw std::runtime_error(PQerrorMessage(c.conn));
        const std::string only_id = fmt::format("probe{:05d}", t);
        const char* values[9] = {only_id.c_str(),
                                 k_playbook.c_str(),
                                 "n1",
                                 "noop",
                                 "ok",
                                 "0",
                                 "<span>ok</span>",
                                 "{}",
                                 "2026-12-08 00:00:00"};
        while (now_seconds() < end && !failed) {
          // Autocommit: each statement is one transaction, committed durably.
          PGresult* r = PQexecPrepared(c.conn, "ins", 9, values, nullptr, nullptr, 0);
          const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
          PQclear(r);
          if (!ok) throw std::runtime_error(PQerrorMessage(c.conn));
          ++commits;
        }
      } catch (const std::exception& e) {
        std::lock_guard lock(failure_mutex);
        failure = e.what();
        failed = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  if (failed) throw std::runtime_error("commit probe: " + failure);
  return static_cast<double>(commits) / (now_seconds() - start);
}

// A line of /proc/self/status ("VmRSS", "VmHWM") in KiB; 0 when unreadable.
long status_kib(const std::string& name) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(name + ":", 0) == 0) return std::atol(line.c_str() + name.size() + 1);
  }
  return 0;
}

// What one run in flight holds, and whether many runs leave memory behind:
// the peak over 1,000 runs submitted at once, then RSS along `many` runs.
void memory_figures(Report& report, const std::string& section,
                    const std::shared_ptr<Services>& services, long many) {
  const long base = status_kib("VmRSS");
  { std::ofstream("/proc/self/clear_refs") << "5"; }  // the peak starts afresh
  RunBatch burst = run_batch(services, k_playbook, 1000, 1000, 120);
  const long peak = status_kib("VmHWM");
  Figure per_run =
      info(section, "RSS per run in flight (1,000 at once)", double(peak - base) / 1000.0, "KiB");
  if (burst.failed || burst.timed_out) per_run.failure = "the burst did not finish cleanly";
  report.add(per_run);
  std::vector<long> along = {status_kib("VmRSS")};
  for (int part = 0; part < 4; ++part) {
    run_batch(services, k_playbook, many / 4, 64, 600);
    along.push_back(status_kib("VmRSS"));
  }
  report.add(info(section, fmt::format("RSS after {} more runs", many), double(along.back()) / 1024,
                  "MiB"));
  report.note(section, fmt::format("RSS along {} runs (64 in flight), every quarter: {} MiB", many,
                                   fmt::join(along | std::views::transform([](long kib) {
                                               return fmt::format("{:.1f}", double(kib) / 1024);
                                             }),
                                             ", ")));
}

// How well the runs in flight shared their record commits.
void note_commits(Report& report, const std::string& section, const RunBatch& batch,
                  std::size_t commits, std::size_t rows) {
  if (batch.runs == 0 || commits == 0) return;
  report.note(section,
              fmt::format("64 in flight: {:.1f} commits per run, {:.1f} records per commit",
                          double(commits) / double(batch.runs), double(rows) / double(commits)));
}

}  // namespace

void embedded_section(Report& report, const Options& options) {
  const std::string section = "2 embedded default (SQLite + embedded KV)";
  ScratchDir dir(options, "embedded");
  std::filesystem::create_directories(dir.path() / "apps");
  const double seconds = options.quick ? 2 : 8;

  RunSteps steps;
  RunBatch serial, concurrent;
  double loop_cpu_per_run = 0;
  {
    LoopThread loop;
    auto services = open_bench_services(dir.file("vqflow.db"), "", dir.file("apps"),
                                        loop.ioc().get_executor(), ten_node_playbook(k_playbook));
    steps = count_steps(services);
    report.note(section, "one run of the 10-node playbook does " + steps.text());
    run_batch(services, k_playbook, 50, 1, 60);  // warm-up
    serial = timed_run_batch(services, k_playbook, 1, seconds / 2);
    const std::size_t commits_before = services->records->commits();
    const std::size_t rows_before = services->records->rows();
    const double cpu_before = loop_thread_cpu_seconds(loop.ioc());
    concurrent = timed_run_batch(services, k_playbook, 64, seconds / 2);
    loop_cpu_per_run = (loop_thread_cpu_seconds(loop.ioc()) - cpu_before) * 1e6 /
                       static_cast<double>(std::max(1L, concurrent.runs));
    note_commits(report, section, concurrent, services->records->commits() - commits_before,
                 services->records->rows() - rows_before);
    memory_figures(report, section, services, options.quick ? 20000 : 100000);
  }
  const double floor = sqlite_floor(dir.file("floor.db"), steps, options.quick ? 1 : 3);

  auto add = [&](const std::string& name, const RunBatch& batch, double reference,
                 const std::string& label, double limit) {
    Figure f = judged(section, name, batch.runs_per_second(), "runs/s", reference, label,
                      Bound::ratio_at_least, limit);
    if (batch.timed_out) f.failure = fmt::format("timed out after {} runs", batch.runs);
    if (batch.failed) f.failure = fmt::format("{} of {} runs failed", batch.failed, batch.runs);
    report.add(f);
  };
  add("serial runs/s (one at a time)", serial, floor, "plain sqlite3 floor, serial", 1.0);
  std::optional<double> peer;
  std::string peer_failure;
  if (options.peer_url) {
    try {
      peer = peer_burst_runs_per_s(*options.peer_url, options.quick ? 10000 : 30000);
    } catch (const std::exception& e) {
      peer_failure = e.what();
    }
  }
  if (peer) {
    add("concurrent runs/s (64 in flight)", concurrent, *peer, "peer internal burst, measured now",
        2.0);
    report.add(info(section, "peer internal burst (10 function nodes)", *peer, "runs/s"));
  } else {
    report.add(
        info(section, "concurrent runs/s (64 in flight)", concurrent.runs_per_second(), "runs/s"));
    report.note(section, "no ratio: " + (peer_failure.empty() ? peer_missing(options)
                                                              : "peer failed: " + peer_failure));
  }
  report.add(info(section, "plain sqlite3 floor (same steps, autocommit)", floor, "runs/s"));
  report.add(info(section, "run loop thread CPU per run (64 in flight)", loop_cpu_per_run, "us"));
  report.note(section,
              fmt::format("serial {} runs in {:.2f} s; concurrent {} runs in {:.2f} s", serial.runs,
                          serial.seconds, concurrent.runs, concurrent.seconds));
}

void server_stores_section(Report& report, const Options& options) {
  const std::string section = "3 Redis + PostgreSQL";
  if (!options.redis_url || !options.pg_url) {
    report.note(section,
                "skipped: give --redis URL --pg URL (or VQFLOW_BENCH_KV / VQFLOW_BENCH_DB)");
    return;
  }
  const std::string schema = fmt::format("vqflow_bench_{}", ::getpid());
  const std::string& base = *options.pg_url;
  const std::string db_url =
      base + (base.find('?') == std::string::npos ? "?" : "&") + "schema=" + schema;
  ScratchDir dir(options, "server-stores");
  std::filesystem::create_directories(dir.path() / "apps");
  const double seconds = options.quick ? 3 : 10;

  struct DropSchema {
    std::string url, schema;
    ~DropSchema() {
      try {
        PgConn(url).exec(fmt::format("DROP SCHEMA IF EXISTS \"{}\" CASCADE", schema));
      } catch (const std::exception& e) {
        std::fprintf(stderr, "vqflow-bench: could not drop schema %s: %s\n", schema.c_str(),
                     e.what());
      }
    }
  } drop{base, schema};

  RunSteps steps;
  RunBatch serial, concurrent;
  {
    LoopThread loop;
    auto services = open_bench_services(db_url, *options.redis_url, dir.file("apps"),
                                        loop.ioc().get_executor(), ten_node_playbook(k_playbook));
    steps = count_steps(services);
    report.note(section, "one run does " + steps.text());
    run_batch(services, k_playbook, 20, 1, 60);  // warm-up
    serial = timed_run_batch(services, k_playbook, 1, seconds / 3);
    const std::size_t commits_before = services->records->commits();
    const std::size_t rows_before = services->records->rows();
    concurrent = timed_run_batch(services, k_playbook, 64, seconds / 3);
    note_commits(report, section, concurrent, services->records->commits() - commits_before,
                 services->records->rows() - rows_before);
  }
  // The floor's own tables, with the playbook the recorded run read.
  const std::string floor_schema = schema + "_floor";
  DropSchema drop_floor{base, floor_schema};
  {
    auto floor_db = open_database(base + (base.find('?') == std::string::npos ? "?" : "&") +
                                  "schema=" + floor_schema);
    floor_db->init_schema();
    floor_db->insert("workflow", ten_node_playbook(k_playbook));
  }
  const FloorFigure floor = server_floor(*options.redis_url, base, floor_schema, steps.trace,
                                         steps.only_id, options.quick ? 1 : 3);
  const double limit = pg_commit_limit(base, schema, options.quick ? 1 : 2);
  {
    PgConn c(base);
    const std::string fsync = c.show("fsync"), commit = c.show("synchronous_commit");
    report.note(section, fmt::format("server fsync={}, synchronous_commit={} (the floor and the "
                                     "probe set synchronous_commit=on){}",
                                     fsync, commit,
                                     fsync == "off" || commit == "off"
                                         ? ": records are NOT durable, figures are optimistic"
                                         : ""));
  }
  report.note(section, fmt::format("one run makes {} round trips; the floor repeats them best "
                                   "with {} client threads and {} committers (of 16/64 and 1/4)",
                                   steps.trace.size(), floor.clients, floor.committers));

  auto figure = [&](const std::string& name, const RunBatch& batch, Bound bound) {
    Figure f = judged(section, name, batch.runs_per_second(), "runs/s", floor.runs_per_second,
                      "plain hiredis + libpq floor", bound, 0.8);
    if (batch.timed_out) f.failure = fmt::format("timed out after {} runs", batch.runs);
    if (batch.failed) f.failure = fmt::format("{} of {} runs failed", batch.failed, batch.runs);
    return f;
  };
  report.add(figure("concurrent runs/s (64 in flight)", concurrent, Bound::ratio_at_least));
  report.add(figure("serial runs/s (one at a time)", serial, Bound::none));
  report.add(info(section, "plain hiredis + libpq floor (same round trips)", floor.runs_per_second,
                  "runs/s"));
  report.add(info(section, "PostgreSQL single-row commits/s, 16 conns", limit, "commits/s"));
  report.note(section, fmt::format("schemas {} and {} (dropped afterwards); Redis keys of the "
                                   "runs expire with the run lifetime",
                                   schema, floor_schema));
}

}  // namespace vqflow::bench
