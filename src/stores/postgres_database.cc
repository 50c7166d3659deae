#include "stores/postgres_database.h"

#include <fmt/format.h>
#include <libpq-fe.h>
#include <spdlog/spdlog.h>

#include <mutex>
#include <unordered_map>

#include "base/errors.h"
#include "base/utilities.h"
#include "stores/database_sql.h"
#include "stores/postgres_support.h"

namespace vqflow {

namespace {

class PostgresDatabase final : public Database {
 public:
  explicit PostgresDatabase(pg::Address address) : address_(std::move(address)) {
    std::lock_guard lock(mutex_);
    connect();
  }

  ~PostgresDatabase() override {
    if (conn_ != nullptr) PQfinish(conn_);
  }

  std::vector<Row> select(const Query& query, std::optional<long long> limit) override {
    auto s = sql::build_select(query, limit, sql::Placeholders::dollar_number);
    std::lock_guard lock(mutex_);
    auto result = execute(s, "select from " + query.table(), Reuse::yes);
    std::vector<Row> rows;
    int count = PQntuples(result.get());
    for (int r = 0; r < count; ++r) {
      Row row = Row::object();
      for (std::size_t c = 0; c < s.columns.size(); ++c) {
        row[s.columns[c]] = pg::cell(result.get(), r, static_cast<int>(c));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  long long insert(const std::string& table, const Row& row) override {
    auto s = sql::build_insert(table, row, sql::Placeholders::dollar_number, true);
    std::lock_guard lock(mutex_);
    auto result = execute(s, "insert into " + table, Reuse::yes);
    return std::stoll(PQgetvalue(result.get(), 0, 0));
  }

  void insert_rows(const std::vector<TableRow>& rows) override {
    const std::vector<sql::Statement> statements = pg::insert_statements(rows);
    if (statements.empty()) return;
    std::lock_guard lock(mutex_);
    if (statements.size() == 1) {
      execute(statements.front(), "insert rows");
      return;
    }
    all_or_nothing(statements, "insert rows");
  }

  void replace_rows(const std::vector<Replacement>& rows) override {
    if (rows.empty()) return;
    // Every statement is built (and its names checked) before anything is written.
    const auto statements = sql::build_replacements(rows, sql::Placeholders::dollar_number);
    std::lock_guard lock(mutex_);
    all_or_nothing(statements, "replace rows");
  }

  long long update(const Query& query, const Row& changes) override {
    auto s = sql::build_update(query, changes, sql::Placeholders::dollar_number);
    std::lock_guard lock(mutex_);
    return affected(execute(s, "update " + query.table(), Reuse::yes).get());
  }

  long long remove(const Query& query) override {
    auto s = sql::build_delete(query, sql::Placeholders::dollar_number);
    std::lock_guard lock(mutex_);
    return affected(execute(s, "delete from " + query.table(), Reuse::yes).get());
  }

  void init_schema() override {
    // Processes that open the store at the same time take turns: concurrent
    // CREATE TABLE IF NOT EXISTS of one table can fail on the server's catalog.
    std::vector<sql::Statement> statements = {
        sql::Statement{"SELECT pg_advisory_xact_lock(7426508177)", {}, {}}};
    for (const auto& text : sql::schema_statements("BIGSERIAL PRIMARY KEY", "")) {
      statements.push_back(sql::Statement{text, {}, {}});
    }
    // Tables made by an earlier version lack the columns added since.
    for (const sql::ColumnAddition& addition : sql::column_additions()) {
      std::string text = addition.text;
      text.insert(text.find(" ADD COLUMN ") + 12, "IF NOT EXISTS ");
      statements.push_back(sql::Statement{std::move(text), {}, {}});
    }
    std::lock_guard lock(mutex_);
    all_or_nothing(statements, "create tables");
  }

  std::string describe() const override { return "postgresql " + address_.where; }

  std::optional<std::string> sqlite_path() const override { return std::nullopt; }

 private:
  using ResultPtr = std::unique_ptr<PGresult, void (*)(PGresult*)>;

  // Statements whose text repeats from call to call (one per query shape) are
  // prepared once per connection: the server then skips parsing and planning,
  // which costs it more than running a small query. Multi-row inserts, whose
  // text changes with the number of rows, and statements inside a transaction
  // (where a forgotten statement could not be sent again) go as they are.
  enum class Reuse { no, yes };
  static constexpr const char* k_no_such_statement = "26000";    // invalid_sql_statement_name
  static constexpr const char* k_duplicate_statement = "42P05";  // duplicate_prepared_statement
  static constexpr std::size_t k_max_prepared = 128;

  // The statements in one transaction; rolled back when one fails. Caller
  // holds `mutex_`.
  void all_or_nothing(const std::vector<sql::Statement>& statements, const std::string& doing) {
    sql::Statement control;
    control.text = "BEGIN";
    execute(control, doing);
    try {
      for (const sql::Statement& statement : statements) execute(statement, doing);
      control.text = "COMMIT";
      execute(control, doing);
    } catch (...) {
      if (conn_ != nullptr) PQclear(PQexec(conn_, "ROLLBACK"));
      throw;
    }
  }

  void connect() {
    PGconn* conn = PQconnectdb(address_.conninfo.c_str());
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
      std::string cause = conn != nullptr ? pg::first_line(PQerrorMessage(conn)) : "out of memory";
      if (conn != nullptr) PQfinish(conn);
      throw StoreError(
          fmt::format("postgresql {}: connect: {}: check that the server runs, that "
                      "the URL names it and that the user may log in",
                      address_.where, cause));
    }
    conn_ = conn;
    prepared_.clear();  // prepared statements belong to the connection
    prepared_tag_ = Random::random_text(8);
    // Notices ("relation already exists, skipping") are not errors; keep them off stderr.
    PQsetNoticeProcessor(
        conn_, [](void*, const char*) {}, nullptr);
    try {
      if (PQsetClientEncoding(conn_, "UTF8") != 0) fail("set client encoding", nullptr);
      if (!address_.schema.empty()) {
        // The name was checked to be a plain identifier; it cannot be a parameter here.
        sql::Statement s;
        s.text = "CREATE SCHEMA IF NOT EXISTS \"" + address_.schema + "\"";
        execute(s, "create schema " + address_.schema);
        s.text = "SET search_path TO \"" + address_.schema + "\"";
        execute(s, "use schema " + address_.schema);
      }
    } catch (...) {
      if (conn_ != nullptr) PQfinish(conn_);
      conn_ = nullptr;
      throw;
    }
  }

  // Runs one statement with its parameters bound. A lost connection is reported
  // and dropped; the next call opens a new one.
  ResultPtr execute(const sql::Statement& s, const std::string& doing, Reuse reuse = Reuse::no) {
    if (conn_ == nullptr) connect();
    const std::string* name = reuse == Reuse::yes && preparing_ ? prepared_name(s, doing) : nullptr;
    std::vector<std::string> texts(s.params.size());
    std::vector<const char*> values(s.params.size(), nullptr);
    for (std::size_t i = 0; i < s.params.size(); ++i) {
      if (auto text = pg::param_text(s.params[i], address_.where, doing)) {
        texts[i] = std::move(*text);
        values[i] = texts[i].c_str();
      }
    }
    const int count = static_cast<int>(values.size());
    auto unprepared = [&] {
      return PQexecParams(conn_, s.text.c_str(), count, nullptr, values.data(), nullptr, nullptr,
                          0);
    };
    ResultPtr result(name != nullptr ? PQexecPrepared(conn_, name->c_str(), count, values.data(),
                                                      nullptr, nullptr, 0)
                                     : unprepared(),
                     PQclear);
    auto status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    if (name != nullptr && status == PGRES_FATAL_ERROR &&
        sqlstate(result.get()) == k_no_such_statement &&
        PQtransactionStatus(conn_) == PQTRANS_IDLE) {
      // The statement was not run: send it as it is, and stop preparing.
      stop_preparing(result.get());
      result.reset(unprepared());
      status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
    }
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) fail(doing, result.get());
    return result;
  }

  static std::string sqlstate(const PGresult* result) {
    const char* code = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    return code != nullptr ? code : "";
  }

  // A connection pooler that hands each transaction its own server session
  // loses the statements prepared in another one. Preparing is only a saving:
  // this store goes on without it for good, and says so once.
  void stop_preparing(const PGresult* result) {
    spdlog::warn(
        "postgresql {}: the server forgot a prepared statement ({}); statements are sent "
        "unprepared from now on. A connection pooler in transaction mode does this; "
        "connect to the server directly or in session mode to keep the saving",
        address_.where, pg::first_line(PQresultErrorMessage(result)));
    preparing_ = false;
    prepared_.clear();
  }

  // The name under which `s` is prepared on this connection, preparing it on
  // first use. Past k_max_prepared texts every one is dropped and the cache
  // starts afresh, so no mix of query shapes grows the server's memory.
  const std::string* prepared_name(const sql::Statement& s, const std::string& doing) {
    if (auto found = prepared_.find(s.text); found != prepared_.end()) return &found->second;
    if (prepared_.size() >= k_max_prepared) {
      ResultPtr dropped(PQexec(conn_, "DEALLOCATE ALL"), PQclear);
      if (!dropped || PQresultStatus(dropped.get()) != PGRES_COMMAND_OK) fail(doing, dropped.get());
      prepared_.clear();
    }
    // The connection's own random tag: behind a pooler, a name can never
    // meet a statement prepared by another client.
    std::string name = fmt::format("vq_{}_{}", prepared_tag_, ++prepared_serial_);
    ResultPtr result(
        PQprepare(conn_, name.c_str(), s.text.c_str(), static_cast<int>(s.params.size()), nullptr),
        PQclear);
    if (result && PQresultStatus(result.get()) == PGRES_FATAL_ERROR &&
        sqlstate(result.get()) == k_duplicate_statement &&
        PQtransactionStatus(conn_) == PQTRANS_IDLE) {
      stop_preparing(result.get());
      return nullptr;
    }
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) fail(doing, result.get());
    return &prepared_.emplace(s.text, std::move(name)).first->second;
  }

  [[noreturn]] void fail(const std::string& doing, const PGresult* result) {
    std::string cause = pg::first_line(result != nullptr ? PQresultErrorMessage(result) : "");
    if (cause.empty()) cause = pg::first_line(PQerrorMessage(conn_));
    if (PQstatus(conn_) == CONNECTION_BAD) {
      PQfinish(conn_);
      conn_ = nullptr;
      cause += " (connection lost)";
    }
    throw StoreError(fmt::format("postgresql {}: {}: {}", address_.where, doing, cause));
  }

  static long long affected(const PGresult* result) {
    const char* count = PQcmdTuples(const_cast<PGresult*>(result));
    return count != nullptr && *count != '\0' ? std::stoll(count) : 0;
  }

  pg::Address address_;
  std::mutex mutex_;
  PGconn* conn_ = nullptr;
  std::unordered_map<std::string, std::string> prepared_;  // statement text -> name
  unsigned long long prepared_serial_ = 0;
  std::string prepared_tag_;
  bool preparing_ = true;
};

}  // namespace

std::unique_ptr<Database> open_postgres_database(const std::string& url) {
  return std::make_unique<PostgresDatabase>(pg::parse_url(url));
}

}  // namespace vqflow
