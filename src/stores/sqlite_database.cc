#include "stores/sqlite_database.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "base/errors.h"
#include "stores/database_sql.h"
#include "stores/sqlite_connection.h"
#include "stores/sqlite_kv_store.h"

namespace vqflow {
namespace {

class SqliteDatabase final : public Database {
 public:
  explicit SqliteDatabase(const std::string& path)
      : shared_(std::make_shared<SharedSqlite>(path)) {}

  std::vector<Row> select(const Query& query, std::optional<long long> limit) override {
    auto s = sql::build_select(query, limit, sql::Placeholders::question_mark);
    std::lock_guard lock(mutex_);
    auto statement = connection_.statement(s.text);
    bind_all(*statement, s.params);
    std::vector<Row> rows;
    while (statement->step()) {
      Row row = Row::object();
      for (std::size_t i = 0; i < s.columns.size(); ++i) {
        row[s.columns[i]] = statement->column_value(static_cast<int>(i));
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  long long insert(const std::string& table, const Row& row) override {
    return write_one(sql::build_insert(table, row, sql::Placeholders::question_mark, false),
                     Answer::new_id);
  }

  // Binds each row's values straight from the row, in the order of its
  // members, into the cached text for its shape: no statement is built and no
  // value copied per record.
  void insert_rows(const std::vector<TableRow>& rows) override {
    if (rows.empty()) return;
    std::lock_guard lock(mutex_);
    if (insert_texts_.size() > k_max_insert_shapes) insert_texts_.clear();
    // Every name and value is checked before anything is written.
    std::vector<const std::string*> texts;
    texts.reserve(rows.size());
    for (const TableRow& r : rows) texts.push_back(&insert_text(r));
    all_or_nothing([&] {
      for (std::size_t i = 0; i < rows.size(); ++i) {
        auto statement = connection_.statement(*texts[i]);
        int index = 0;
        for (const auto& member : rows[i].row.items()) statement->bind(++index, member.value());
        statement->step();
      }
    });
  }

  void replace_rows(const std::vector<Replacement>& rows) override {
    if (rows.empty()) return;
    // Every statement is built (and its names checked) before anything is written.
    const auto statements = sql::build_replacements(rows, sql::Placeholders::question_mark);
    std::lock_guard lock(mutex_);
    all_or_nothing([&] { run_all(statements); });
  }

  bool commit_pending() override {
    std::lock_guard lock(mutex_);
    return shared_->commit_pending();
  }

  void hold_kv_commits(std::function<bool()> arrange) override {
    std::lock_guard lock(mutex_);
    shared_->hold_commits(std::move(arrange));
  }

  long long update(const Query& query, const Row& changes) override {
    return run(sql::build_update(query, changes, sql::Placeholders::question_mark));
  }

  long long remove(const Query& query) override {
    return run(sql::build_delete(query, sql::Placeholders::question_mark));
  }

  void init_schema() override {
    std::lock_guard lock(mutex_);
    shared_->commit_pending();
    SqliteTransaction transaction(connection_);
    // STRICT: a text that is not an integer is refused by an integer column, as a
    // server database does, instead of being kept as text.
    for (const auto& statement :
         sql::schema_statements("INTEGER PRIMARY KEY AUTOINCREMENT", " STRICT")) {
      connection_.exec(record_table(statement) ? without_sequence(statement) : statement);
    }
    connection_.exec(sqlite_kv_table_sql());
    add_missing_columns();
    transaction.commit();
  }

  std::string describe() const override { return "sqlite " + connection_.path(); }

  std::optional<std::string> sqlite_path() const override { return connection_.path(); }

  std::unique_ptr<KvStore> embedded_kv() override { return open_sqlite_kv_store(shared_); }

 private:
  // Files made by an earlier version lack the columns added since.
  void add_missing_columns() {
    std::string table;
    std::vector<std::string> present;
    for (const sql::ColumnAddition& addition : sql::column_additions()) {
      if (addition.table != table) {
        table = addition.table;
        present.clear();
        SqliteStatementUse info = connection_.statement("SELECT name FROM pragma_table_info(?)");
        info->bind_text(1, table);
        while (info->step()) present.push_back(info->column_bytes(0));
      }
      if (std::find(present.begin(), present.end(), addition.column) == present.end()) {
        connection_.exec(addition.text);
      }
    }
  }

  // Records (logs, reports, audits) are only ever appended, so the largest id
  // is never deleted and plain rowids never repeat: they need no sequence row,
  // which every commit of records would otherwise rewrite (a page per commit).
  // Files made before keep their AUTOINCREMENT tables, which work the same.
  static bool record_table(const std::string& statement) {
    for (const char* table : {"\"logs\"", "\"report\"", "\"audit\""}) {
      if (statement.rfind(std::string("CREATE TABLE IF NOT EXISTS ") + table + " ", 0) == 0) {
        return true;
      }
    }
    return false;
  }
  static std::string without_sequence(std::string statement) {
    const std::string autoincrement = " AUTOINCREMENT";
    auto at = statement.find(autoincrement);
    if (at != std::string::npos) statement.erase(at, autoincrement.size());
    return statement;
  }

  // The insert text for rows of r's table and column names, built (and the
  // names checked) once per shape; r's values are checked every time.
  // Caller holds `mutex_`.
  const std::string& insert_text(const TableRow& r) {
    if (!r.row.is_object()) {
      // Not a row of columns: the builder refuses it with its own message.
      sql::build_insert(r.table, r.row, sql::Placeholders::question_mark, false);
      throw std::logic_error("the insert builder accepted a row that is not a map");
    }
    shape_.assign(r.table);
    for (const auto& member : r.row.items()) {
      shape_ += '\0';
      shape_ += member.key();
      sql::check_storable(r.table, member.value());
    }
    auto found = insert_texts_.find(shape_);
    if (found != insert_texts_.end()) return found->second;
    std::string text =
        sql::build_insert(r.table, r.row, sql::Placeholders::question_mark, false).text;
    return insert_texts_.emplace(shape_, std::move(text)).first->second;
  }

  // Runs the statements in one transaction, or, inside the held-back
  // transaction, in a savepoint: they take effect (or fail) together, and the
  // held writes are committed with them, or on their own when one fails.
  // Caller holds `mutex_`.
  template <typename RunStatements>
  void all_or_nothing(const RunStatements& run_statements) {
    if (!shared_->holding()) {
      SqliteTransaction transaction(connection_);
      run_statements();
      transaction.commit();
      return;
    }
    connection_.statement("SAVEPOINT record_rows")->step();
    try {
      run_statements();
      connection_.statement("RELEASE record_rows")->step();
    } catch (...) {
      if (shared_->holding()) {
        connection_.exec("ROLLBACK TO record_rows; RELEASE record_rows");
        shared_->commit_pending();
      }
      throw;
    }
    shared_->commit_pending();
  }

  void run_all(const std::vector<sql::Statement>& statements) {
    for (const sql::Statement& s : statements) {
      auto statement = connection_.statement(s.text);
      bind_all(*statement, s.params);
      statement->step();
    }
  }

  static void bind_all(SqliteStatement& statement, const std::vector<Value>& params) {
    for (std::size_t i = 0; i < params.size(); ++i) {
      statement.bind(static_cast<int>(i + 1), params[i]);
    }
  }

  long long run(const sql::Statement& s) { return write_one(s, Answer::changes); }

  enum class Answer { new_id, changes };
  // One statement, committed with whatever key-value writes wait on the
  // connection; answers the new row's id or the number of rows changed.
  long long write_one(const sql::Statement& s, Answer answer) {
    std::lock_guard lock(mutex_);
    long long out = 0;
    {
      auto statement = connection_.statement(s.text);
      bind_all(*statement, s.params);
      statement->step();
      out = answer == Answer::new_id ? connection_.last_insert_id() : connection_.changes();
    }
    shared_->commit_pending();
    return out;
  }

  // Record shapes come from the code, a handful in all; the bound only keeps
  // a caller with ever new column sets from growing the cache.
  static constexpr std::size_t k_max_insert_shapes = 64;

  std::shared_ptr<SharedSqlite> shared_;
  std::mutex& mutex_ = shared_->mutex;
  SqliteConnection& connection_ = shared_->connection;
  std::unordered_map<std::string, std::string> insert_texts_;  // guarded by mutex_
  std::string shape_;  // the key being looked up, kept to reuse its buffer; guarded by mutex_
};

}  // namespace

std::unique_ptr<Database> open_sqlite_database(const std::string& path) {
  if (path.empty()) {
    throw ConfigError("database path is empty: give a SQLite file path or sqlite:///file.db");
  }
  return std::make_unique<SqliteDatabase>(path);
}

}  // namespace vqflow
