#include "stores/database.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>

#include "base/errors.h"
#include "stores/database_sql.h"
#include "stores/postgres_database.h"
#include "stores/sqlite_database.h"

namespace vqflow {

namespace {

const std::map<std::string, std::vector<std::string>>& schema() {
  static const std::map<std::string, std::vector<std::string>> tables = {
      {"workflow",
       {"uuid", "name", "remarks", "start_app", "end_app", "input_app", "webhook_app", "timer_app",
        "for_list", "if_list", "audit_list", "flow_json", "flow_data", "controller_data",
        "local_var_data", "status", "on_interrupt"}},
      {"variablen", {"key", "value", "status"}},
      {"logs",
       {"only_id", "uuid", "app_uuid", "app_name", "result", "status", "html", "args",
        "create_time"}},
      {"report", {"report_no", "workflow_name", "remarks", "create_time"}},
      {"audit",
       {"workflow_uuid", "only_id", "user_id", "audit_app", "start_app", "status", "update_time",
        "create_time", "decider"}},
      // One row per run, kept as its state changes; see docs/stores.md.
      {"runs",
       {"only_id", "uuid", "state", "owner", "start_app", "on_interrupt", "attempt", "failed_steps",
        "reason", "user", "cancel_by", "waiting_at", "started", "ended", "update_time"}},
      // What a run that may be resumed has finished so far: row 0 holds the
      // node settings it was started with, row N its N-th app node call.
      {"checkpoints", {"only_id", "seq", "node", "outcome", "writes", "create_time"}},
      {"timer",
       {"timer_uuid", "uuid", "type", "interval_type", "time", "start_date", "end_date", "jitter",
        "status", "update_time", "create_time"}},
  };
  return tables;
}

// Tables whose rows are kept one per key: an insert of a row whose key is
// stored already updates that row's given columns instead.
const char* upsert_key(const std::string& table) { return table == "runs" ? "only_id" : nullptr; }

std::string upsert_clause(const std::string& table, const Row& row) {
  const char* key = upsert_key(table);
  if (!key) return "";
  std::string sets;
  for (const auto& [name, value] : row.items()) {
    if (name == key) continue;
    if (!sets.empty()) sets += ", ";
    sets.append("\"").append(name).append("\" = excluded.\"").append(name).append("\"");
  }
  const std::string target = std::string(" ON CONFLICT (\"") + key + "\") DO ";
  return target + (sets.empty() ? "NOTHING" : "UPDATE SET " + sets);
}

bool is_integer_column(const std::string& column) {
  return column == "status" || column == "jitter" || column == "attempt" ||
         column == "failed_steps" || column == "seq";
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string quoted(const std::string& name) { return "\"" + name + "\""; }

class Builder {
 public:
  Builder(sql::Placeholders style, std::string table) : style_(style), table_(std::move(table)) {}

  std::string column(const std::string& name) const {
    if (name == "id") return quoted(name);
    const auto& columns = table_columns(table_);
    if (std::find(columns.begin(), columns.end(), name) == columns.end()) {
      throw StoreError(fmt::format("table {}: unknown column \"{}\": known columns are id, {}",
                                   table_, name, fmt::join(columns, ", ")));
    }
    return quoted(name);
  }

  std::string param(Value value) {
    sql::check_storable(table_, value);
    params_.push_back(std::move(value));
    return style_ == sql::Placeholders::question_mark ? "?" : fmt::format("${}", params_.size());
  }

  std::string where(const std::vector<Condition>& conditions) {
    std::string text;
    for (const auto& c : conditions) {
      text += text.empty() ? " WHERE " : " AND ";
      std::string op = c.op == "==" ? "=" : c.op == "<>" ? "!=" : c.op;
      static const char* const ops[] = {"=", "!=", "<", "<=", ">", ">="};
      if (std::find(std::begin(ops), std::end(ops), op) == std::end(ops)) {
        throw StoreError(
            fmt::format("table {}: unknown comparison \"{}\" on column {}: use one "
                        "of = != < <= > >=",
                        table_, c.op, c.column));
      }
      std::string name = column(c.column);
      if (c.value.is_null()) {
        // A comparison with NULL never holds in SQL; equality with an absent value means IS NULL.
        if (op == "=") {
          text += name + " IS NULL";
        } else if (op == "!=") {
          text += name + " IS NOT NULL";
        } else {
          throw StoreError(
              fmt::format("table {}: column {} compared with an absent value by "
                          "\"{}\": only = and != can compare with absent",
                          table_, c.column, c.op));
        }
        continue;
      }
      text.append(name).append(" ").append(op).append(" ").append(param(c.value));
    }
    return text;
  }

  std::vector<Value> take_params() { return std::move(params_); }
  const std::string& table() const { return table_; }

 private:
  sql::Placeholders style_;
  std::string table_;
  std::vector<Value> params_;
};

}  // namespace

const std::vector<std::string>& table_columns(const std::string& table) {
  auto it = schema().find(table);
  if (it == schema().end()) it = schema().find(lower(table));
  if (it == schema().end()) {
    std::vector<std::string> names;
    for (const auto& [name, columns] : schema()) names.push_back(name);
    throw StoreError(
        fmt::format("unknown table \"{}\": known tables are {}", table, fmt::join(names, ", ")));
  }
  return it->second;
}

std::optional<Row> Query::first() {
  auto rows = db_->select(*this, 1);
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

std::vector<Row> Query::get() { return db_->select(*this, std::nullopt); }

std::vector<Row> Query::get(long long limit) { return db_->select(*this, limit); }

long long Query::insert(const Row& row) { return db_->insert(table_, row); }

long long Query::update(const Row& changes) { return db_->update(*this, changes); }

long long Query::remove() { return db_->remove(*this); }

namespace sql {

std::string canonical_table(const std::string& name) {
  auto it = schema().find(lower(name));
  if (it == schema().end()) table_columns(name);  // throws with the list of tables
  return it->first;
}

Statement build_select(const Query& query, std::optional<long long> limit, Placeholders style) {
  Builder b(style, canonical_table(query.table()));
  Statement s;
  if (query.columns().empty()) {
    s.columns.push_back("id");
    for (const auto& c : table_columns(b.table())) s.columns.push_back(c);
  } else {
    s.columns = query.columns();
  }
  std::string list;
  for (const auto& c : s.columns) list += (list.empty() ? "" : ", ") + b.column(c);
  s.text = "SELECT " + list + " FROM " + quoted(b.table()) + b.where(query.conditions()) +
           (query.is_newest_first() ? " ORDER BY \"id\" DESC" : " ORDER BY \"id\"");
  if (limit) s.text += fmt::format(" LIMIT {}", std::max(0LL, *limit));
  s.params = b.take_params();
  return s;
}

Statement build_insert(const std::string& table, const Row& row, Placeholders style,
                       bool returning_id) {
  Builder b(style, canonical_table(table));
  if (!row.is_object()) {
    throw StoreError(fmt::format("table {}: insert needs a map of column to value", b.table()));
  }
  Statement s;
  if (row.empty()) {
    s.text = "INSERT INTO " + quoted(b.table()) + " DEFAULT VALUES";
  } else {
    std::string names;
    std::string values;
    for (const auto& [name, value] : row.items()) {
      names += (names.empty() ? "" : ", ") + b.column(name);
      values += (values.empty() ? "" : ", ") + b.param(value);
    }
    s.text = "INSERT INTO " + quoted(b.table()) + " (" + names + ") VALUES (" + values + ")" +
             upsert_clause(b.table(), row);
  }
  if (returning_id) s.text += " RETURNING \"id\"";
  s.params = b.take_params();
  return s;
}

Statement build_insert_rows(const std::string& table, const std::vector<const Row*>& rows,
                            Placeholders style) {
  if (rows.size() == 1) return build_insert(table, *rows.front(), style, false);
  if (is_keyed_table(table)) {
    // Two rows of one key in one statement would update one row twice.
    throw StoreError(fmt::format("table {}: rows are kept one per key: insert them one by one",
                                 canonical_table(table)));
  }
  Builder b(style, canonical_table(table));
  if (rows.empty() || !rows.front()->is_object() || rows.front()->empty()) {
    throw StoreError(
        fmt::format("table {}: a multi-row insert needs maps of column to value", b.table()));
  }
  std::string names;
  for (const auto& [name, value] : rows.front()->items()) {
    names += (names.empty() ? "" : ", ") + b.column(name);
  }
  Statement s;
  s.text = "INSERT INTO " + quoted(b.table()) + " (" + names + ") VALUES ";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (!same_columns(*rows.front(), *rows[i])) {
      throw StoreError(
          fmt::format("table {}: rows of one insert name different columns", b.table()));
    }
    std::string values;
    for (const auto& [name, value] : rows[i]->items()) {
      values += (values.empty() ? "" : ", ") + b.param(value);
    }
    s.text += (i == 0 ? "(" : ", (") + values + ")";
  }
  s.params = b.take_params();
  return s;
}

void check_storable(const std::string& table, const Value& value) {
  if (value.is_object() || value.is_array()) {
    throw StoreError(
        fmt::format("table {}: a list or map cannot be stored in a column: "
                    "store its JSON text instead",
                    table));
  }
}

bool is_keyed_table(const std::string& table) {
  return upsert_key(canonical_table(table)) != nullptr;
}

bool same_columns(const Row& a, const Row& b) {
  if (!a.is_object() || !b.is_object() || a.size() != b.size()) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i.key() != j.key()) return false;
  }
  return true;
}

Statement build_update(const Query& query, const Row& changes, Placeholders style) {
  Builder b(style, canonical_table(query.table()));
  if (!changes.is_object() || changes.empty()) {
    throw StoreError(
        fmt::format("table {}: update needs a non-empty map of column to value", b.table()));
  }
  std::string assignments;
  for (const auto& [name, value] : changes.items()) {
    assignments += (assignments.empty() ? "" : ", ") + b.column(name) + " = " + b.param(value);
  }
  Statement s;
  s.text = "UPDATE " + quoted(b.table()) + " SET " + assignments + b.where(query.conditions());
  s.params = b.take_params();
  return s;
}

Statement build_delete(const Query& query, Placeholders style) {
  Builder b(style, canonical_table(query.table()));
  Statement s;
  s.text = "DELETE FROM " + quoted(b.table()) + b.where(query.conditions());
  s.params = b.take_params();
  return s;
}

std::vector<Statement> build_replacements(const std::vector<Replacement>& rows,
                                          Placeholders style) {
  std::vector<Statement> out;
  out.reserve(2 * rows.size());
  for (const Replacement& r : rows) {
    Builder b(style, canonical_table(r.table));
    Statement remove;
    remove.text = "DELETE FROM " + quoted(b.table()) +
                  b.where({Condition{r.key_column, "=", r.row.value(r.key_column, Value())}});
    remove.params = b.take_params();
    out.push_back(std::move(remove));
    out.push_back(build_insert(r.table, r.row, style, false));
  }
  return out;
}

std::vector<std::string> schema_statements(const std::string& id_column,
                                           const std::string& table_suffix) {
  std::vector<std::string> out;
  for (const auto& [table, columns] : schema()) {
    std::string text = "CREATE TABLE IF NOT EXISTS " + quoted(table) + " (\"id\" " + id_column;
    for (const auto& c : columns) {
      text.append(", ").append(quoted(c)).append(is_integer_column(c) ? " INTEGER" : " TEXT");
    }
    text += ")";
    text += table_suffix;
    out.push_back(std::move(text));
  }
  out.push_back("CREATE INDEX IF NOT EXISTS workflow_uuid ON \"workflow\" (\"uuid\")");
  out.push_back("CREATE INDEX IF NOT EXISTS audit_only_id ON \"audit\" (\"only_id\")");
  out.push_back("CREATE INDEX IF NOT EXISTS timer_timer_uuid ON \"timer\" (\"timer_uuid\")");
  out.push_back("CREATE UNIQUE INDEX IF NOT EXISTS runs_only_id ON \"runs\" (\"only_id\")");
  out.push_back("CREATE INDEX IF NOT EXISTS runs_state ON \"runs\" (\"state\")");
  out.push_back("CREATE INDEX IF NOT EXISTS logs_only_id ON \"logs\" (\"only_id\")");
  out.push_back("CREATE INDEX IF NOT EXISTS checkpoints_only_id ON \"checkpoints\" (\"only_id\")");
  out.push_back("CREATE INDEX IF NOT EXISTS variablen_status ON \"variablen\" (\"status\")");
  return out;
}

std::vector<ColumnAddition> column_additions() {
  std::vector<ColumnAddition> out;
  for (const auto& [table, columns] : schema()) {
    for (const auto& c : columns) {
      out.push_back({table, c,
                     "ALTER TABLE " + quoted(table) + " ADD COLUMN " + quoted(c) +
                         (is_integer_column(c) ? " INTEGER" : " TEXT")});
    }
  }
  return out;
}

}  // namespace sql

std::unique_ptr<Database> open_database(const std::string& url) {
  if (url.empty()) {
    throw ConfigError(
        "database URL is empty: give a SQLite file path, sqlite:///file.db or "
        "postgresql://user@host:port/db");
  }
  if (url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0) {
    return open_postgres_database(url);
  }
  if (url.rfind("sqlite:", 0) == 0) {
    // sqlite:///relative.db and sqlite:////absolute.db: the path follows the third slash.
    if (url.rfind("sqlite:///", 0) != 0 || url.size() == 10) {
      throw ConfigError(
          fmt::format("database URL \"{}\": expected sqlite:///relative.db or "
                      "sqlite:////absolute/path.db",
                      url));
    }
    return open_sqlite_database(url.substr(10));
  }
  auto scheme_end = url.find("://");
  if (scheme_end != std::string::npos) {
    throw ConfigError(
        fmt::format("database URL \"{}\": unknown scheme \"{}\": use a file path, "
                    "sqlite:///file.db or postgresql://user@host:port/db",
                    url, url.substr(0, scheme_end)));
  }
  return open_sqlite_database(url);
}

}  // namespace vqflow
