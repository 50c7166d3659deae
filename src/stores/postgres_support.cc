#include "stores/postgres_support.h"

#include <fmt/format.h>

#include <cctype>
#include <cmath>

#include "base/errors.h"

namespace vqflow::pg {

namespace {

constexpr const char* k_connect_timeout_seconds = "5";

// Type oids of the results we convert (pg_type.h is a server header).
constexpr Oid k_bool = 16, k_int8 = 20, k_int2 = 21, k_int4 = 23, k_float4 = 700, k_float8 = 701,
              k_numeric = 1700;

[[noreturn]] void bad_url(const std::string& url, const std::string& why) {
  throw ConfigError(fmt::format(
      "database URL \"{}\": {}: expected postgresql://user@host:port/db[?schema=NAME]", url, why));
}

bool valid_schema(const std::string& name) {
  if (name.empty() || name.size() > 63) return false;
  if (!(std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_')) return false;
  for (unsigned char c : name) {
    if (!(std::isalnum(c) || c == '_')) return false;
  }
  return true;
}

}  // namespace

Address parse_url(const std::string& url) {
  Address address;
  std::size_t question = url.find('?');
  std::string base = url.substr(0, question);
  std::string kept;
  bool has_timeout = false;
  if (question != std::string::npos) {
    std::string query = url.substr(question + 1);
    std::size_t start = 0;
    while (start <= query.size()) {
      std::size_t amp = query.find('&', start);
      std::string pair =
          query.substr(start, amp == std::string::npos ? std::string::npos : amp - start);
      start = amp == std::string::npos ? query.size() + 1 : amp + 1;
      if (pair.empty()) continue;
      std::string key = pair.substr(0, pair.find('='));
      if (key == "schema") {
        address.schema = pair.find('=') == std::string::npos ? "" : pair.substr(pair.find('=') + 1);
        if (!valid_schema(address.schema)) {
          bad_url(url, "schema \"" + address.schema +
                           "\" must be letters, digits and _ (not starting with a digit)");
        }
        continue;
      }
      if (key == "connect_timeout") has_timeout = true;
      kept += (kept.empty() ? "" : "&") + pair;
    }
  }
  if (!has_timeout)
    kept += std::string(kept.empty() ? "" : "&") + "connect_timeout=" + k_connect_timeout_seconds;
  address.conninfo = base + "?" + kept;

  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(address.conninfo.c_str(), &error);
  if (options == nullptr) {
    std::string why = error != nullptr ? first_line(error) : "cannot be parsed";
    PQfreemem(error);
    bad_url(url, why);
  }
  std::string host, port, db;
  for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    std::string key = o->keyword;
    std::string value = o->val != nullptr ? o->val : "";
    if (key == "host") host = value;
    if (key == "port") port = value;
    if (key == "dbname") db = value;
  }
  PQconninfoFree(options);
  if (!port.empty() && port.find_first_not_of("0123456789,") != std::string::npos) {
    bad_url(url, "port \"" + port + "\" is not a number");
  }
  address.where =
      fmt::format("{}:{}/{}", host.empty() ? "localhost" : host, port.empty() ? "5432" : port, db);
  return address;
}

std::string first_line(std::string text) {
  auto end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
  return text;
}

std::optional<std::string> param_text(const Value& value, const std::string& where,
                                      const std::string& doing) {
  switch (value.type()) {
    case Value::value_t::null:
      return std::nullopt;
    case Value::value_t::boolean:
      return value.get<bool>() ? "1" : "0";
    case Value::value_t::number_integer:
      return std::to_string(value.get<long long>());
    case Value::value_t::number_unsigned:
      return std::to_string(value.get<unsigned long long>());
    case Value::value_t::number_float: {
      double real = value.get<double>();
      if (std::isnan(real)) return "NaN";
      if (std::isinf(real)) return real > 0 ? "Infinity" : "-Infinity";
      return fmt::format("{}", real);
    }
    case Value::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      // A text parameter ends at its first NUL: refuse rather than store a cut value.
      if (text.find('\0') != std::string::npos) {
        throw StoreError(
            fmt::format("postgresql {}: {}: a text with a NUL byte cannot be "
                        "stored: remove the NUL bytes",
                        where, doing));
      }
      return text;
    }
    default:
      throw StoreError(
          fmt::format("postgresql {}: {}: a list or map cannot be stored in a "
                      "column: store its JSON text instead",
                      where, doing));
  }
}

Value cell(const PGresult* result, int row, int column) {
  if (PQgetisnull(result, row, column)) return Value(nullptr);
  std::string text(PQgetvalue(result, row, column),
                   static_cast<std::size_t>(PQgetlength(result, row, column)));
  switch (PQftype(result, column)) {
    case k_int2:
    case k_int4:
    case k_int8:
      return Value(std::stoll(text));
    case k_float4:
    case k_float8:
    case k_numeric:
      return Value(std::stod(text));
    case k_bool:
      return Value(text == "t");
    default:
      return Value(std::move(text));
  }
}

std::vector<sql::Statement> insert_statements(const std::vector<TableRow>& rows) {
  // Consecutive rows of one table with the same columns travel as one
  // multi-row INSERT; one statement is atomic by itself, several share a
  // transaction. The chunk keeps far below the 65,535 parameters of a statement.
  constexpr std::size_t k_chunk = 256;
  std::vector<sql::Statement> statements;
  for (std::size_t i = 0; i < rows.size();) {
    std::vector<const Row*> group{&rows[i].row};
    std::size_t j = i + 1;
    while (j < rows.size() && group.size() < k_chunk && !sql::is_keyed_table(rows[i].table) &&
           rows[j].table == rows[i].table && sql::same_columns(rows[i].row, rows[j].row)) {
      group.push_back(&rows[j].row);
      ++j;
    }
    statements.push_back(
        sql::build_insert_rows(rows[i].table, group, sql::Placeholders::dollar_number));
    i = j;
  }
  return statements;
}

}  // namespace vqflow::pg
