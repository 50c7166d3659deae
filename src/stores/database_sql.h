#pragma once
#include <optional>
#include <string>
#include <vector>

#include "stores/database.h"

// SQL text for the query builder, shared by the SQLite and PostgreSQL stores.
// Every name is checked against the schema and quoted; every value becomes a
// placeholder whose value is in `params`, in order.

namespace vqflow::sql {

enum class Placeholders { question_mark, dollar_number };

struct Statement {
  std::string text;
  std::vector<Value> params;
  std::vector<std::string> columns;  // result columns of a select, in order
};

// The lower-case name of a known table; throws StoreError naming the known ones.
std::string canonical_table(const std::string& name);

Statement build_select(const Query& query, std::optional<long long> limit, Placeholders style);
Statement build_insert(const std::string& table, const Row& row, Placeholders style,
                       bool returning_id);
// One INSERT of several rows of one table that name the same columns in the
// same order (callers group rows that way).
Statement build_insert_rows(const std::string& table, const std::vector<const Row*>& rows,
                            Placeholders style);
// Throws the StoreError of build_insert when `value` (a list or a map) cannot
// be stored in a column of `table`.
void check_storable(const std::string& table, const Value& value);
// True when both rows name the same columns in the same order.
bool same_columns(const Row& a, const Row& b);
// Whether the rows of `table` are kept one per key (an insert of a stored key
// updates that row): such rows go into a multi-row insert one at a time.
bool is_keyed_table(const std::string& table);
Statement build_update(const Query& query, const Row& changes, Placeholders style);
Statement build_delete(const Query& query, Placeholders style);
// For each replacement, in order: the DELETE of the rows with its key, then the
// INSERT of its row.
std::vector<Statement> build_replacements(const std::vector<Replacement>& rows, Placeholders style);

// CREATE statements for the six tables and their indexes. `id_column` is the
// primary key declaration; `table_suffix` is appended to each CREATE TABLE.
std::vector<std::string> schema_statements(const std::string& id_column,
                                           const std::string& table_suffix);

// The statement that adds each column of the schema to a table made before
// the column existed; stores run those of the columns their tables lack.
struct ColumnAddition {
  std::string table;
  std::string column;
  std::string text;  // ALTER TABLE ... ADD COLUMN ...
};
std::vector<ColumnAddition> column_additions();

}  // namespace vqflow::sql
