#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "stores/kv_store.h"
#include "stores/write_failures.h"
#include "value/value.h"

namespace vqflow {

// A row: a map from column name to value (text, integer, real or null).
using Row = Value;

class Database;

// One row of a multi-row insert: the table and the row.
struct TableRow {
  std::string table;
  Row row;
};

// One row of Database::replace_rows: `row` replaces the rows of `table` whose
// `key_column` equals its own value in that column.
struct Replacement {
  std::string table;
  std::string key_column;
  Row row;
};

// One condition of a query: column, comparison operator ("=", "!=", "<", "<=",
// ">", ">="), value. Values are always bound as parameters.
struct Condition {
  std::string column;
  std::string op;
  Value value;
};

// Query builder over one table: db.table("workflow").select({"uuid"}).where("uuid", id).first().
// Table and column names are checked against the schema; values are never spliced into SQL.
class Query {
 public:
  Query(Database& db, std::string table) : db_(&db), table_(std::move(table)) {}

  Query& select(std::vector<std::string> columns) {
    columns_ = std::move(columns);
    return *this;
  }
  Query& where(std::string column, Value value) {
    conditions_.push_back({std::move(column), "=", std::move(value)});
    return *this;
  }
  Query& where(std::string column, std::string op, Value value) {
    conditions_.push_back({std::move(column), std::move(op), std::move(value)});
    return *this;
  }

  // Rows come newest (highest id) first.
  Query& newest_first() {
    newest_first_ = true;
    return *this;
  }

  // The first matching row (in id order), or absent.
  std::optional<Row> first();
  // Every matching row, in id order.
  std::vector<Row> get();
  // At most `limit` matching rows.
  std::vector<Row> get(long long limit);
  // Inserts one row from a map of column to value; answers the new id.
  long long insert(const Row& row);
  // Changes the given columns of every matching row; answers the number changed.
  long long update(const Row& changes);
  // Removes every matching row; answers the number removed.
  long long remove();

  const std::string& table() const { return table_; }
  const std::vector<std::string>& columns() const { return columns_; }  // empty: all
  const std::vector<Condition>& conditions() const { return conditions_; }
  bool is_newest_first() const { return newest_first_; }

 private:
  Database* db_;
  std::string table_;
  std::vector<std::string> columns_;
  std::vector<Condition> conditions_;
  bool newest_first_ = false;
};

// Relational store holding the tables workflow, variablen, logs, report, audit
// and timer. Implementations are safe to call from any thread; failures throw
// StoreError with what failed and how to fix it.
class Database {
 public:
  virtual ~Database() = default;

  Query table(std::string name) { return Query(*this, std::move(name)); }

  virtual std::vector<Row> select(const Query& query, std::optional<long long> limit) = 0;
  virtual long long insert(const std::string& table, const Row& row) = 0;
  // Inserts the rows in order in one transaction: either all are stored or none
  // is, and StoreError says why. (This default stores them one by one; the
  // SQLite and PostgreSQL stores override it with one transaction.)
  virtual void insert_rows(const std::vector<TableRow>& rows) {
    for (const TableRow& r : rows) insert(r.table, r.row);
  }
  virtual long long update(const Query& query, const Row& changes) = 0;
  virtual long long remove(const Query& query) = 0;
  // Replaces rows by key, in order, in one transaction: either every
  // replacement is made or none is, and StoreError says why. (This default
  // makes them one by one; the SQLite and PostgreSQL stores override it.)
  virtual void replace_rows(const std::vector<Replacement>& rows) {
    for (const Replacement& r : rows) {
      table(r.table).where(r.key_column, r.row.value(r.key_column, Value())).remove();
      insert(r.table, r.row);
    }
  }
  // Creates the six tables (and the embedded key-value table) when missing.
  virtual void init_schema() = 0;
  // "sqlite /path/vqflow.db" or "postgresql host:port/db".
  virtual std::string describe() const = 0;

  // The last write that failed (records the writer could not store), for the
  // health check.
  WriteFailures& write_failures() const { return write_failures_; }

  // The SQLite file behind this store; absent for server databases.
  virtual std::optional<std::string> sqlite_path() const = 0;
  // The embedded key-value store in this store's file, over the same
  // connection; absent for server databases.
  virtual std::unique_ptr<KvStore> embedded_kv() { return nullptr; }
  // Lets writes of the embedded key-value table leave their transaction open
  // for a later commit_pending(), so that they share one commit with the
  // records stored then: after such a write, `arrange` answers true when it
  // has made sure that commit_pending() runs soon, false to commit at once.
  // Any other write of this store commits what is held back along with itself.
  // Stores without an embedded key-value table ignore this.
  virtual void hold_kv_commits(std::function<bool()> arrange) { (void)arrange; }
  // Commits the writes held back (see hold_kv_commits); false when there were
  // none. Throws StoreError when the commit fails.
  virtual bool commit_pending() { return false; }

 private:
  mutable WriteFailures write_failures_;
};

// Columns of each table (besides the integer primary key "id").
const std::vector<std::string>& table_columns(const std::string& table);  // throws StoreError

// Opens the store named by `url`: "sqlite:///relative.db", "sqlite:////abs/path.db",
// a plain file path, or "postgresql://user@host:port/db". Throws ConfigError for a
// malformed URL, StoreError when the database cannot be opened.
std::unique_ptr<Database> open_database(const std::string& url);

}  // namespace vqflow
