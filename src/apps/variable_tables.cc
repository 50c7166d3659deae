#include "apps/variable_tables.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/errors.h"
#include "base/text.h"
#include "context/run_state.h"
#include "stores/stored_values.h"

namespace vqflow::apps {

namespace {

// Whether a settings or definitions text is to be left alone: "none", or a text
// form that is empty or `empty_form` once every U+0020 is removed (other white
// space counts).
bool skipped(const Value& text, std::string_view empty_form) {
  if (text.is_string() && text.get_ref<const std::string&>() == "none") return true;
  const std::string compact = without_bytes(text_form(text), " ");
  return compact.empty() || compact == empty_form;
}

Value parse_text(const Value& text, const char* what) {
  if (!text.is_string()) {
    throw JsonError(fmt::format("{}: expected a JSON text, got {}", what, text_form(text)));
  }
  try {
    return parse_json(text.get_ref<const std::string&>());
  } catch (const JsonError& e) {
    throw JsonError(fmt::format("{}: {}", what, e.what()));
  }
}

bool contains(const std::vector<std::string>& list, const std::string& id) {
  return std::find(list.begin(), list.end(), id) != list.end();
}

// The stored bytes of a node's "text"; absent when it has none that can be stored.
std::optional<std::string> storable_text(const Value& entry, const std::string& key) {
  if (!entry.is_object()) return std::nullopt;
  auto text = entry.find("text");
  if (text == entry.end()) return std::nullopt;
  if (!text->is_string() && !text->is_number()) return std::nullopt;  // see stored_bytes
  return stored_bytes(*text, key);
}

}  // namespace

SettingWrites setting_writes(const Value& controller_var, const std::string& only_id,
                             const std::optional<std::string>& timer_app,
                             const std::vector<std::string>& for_list,
                             const std::vector<std::string>& if_list) {
  SettingWrites out;
  if (skipped(controller_var, "{}")) return out;
  const Value settings = parse_text(controller_var, "node settings");
  if (!settings.is_object()) {
    throw ValueError("node settings: expected a JSON object keyed by node id");
  }
  try {
    for (const auto& [node_id, entry] : settings.items()) {
      if (timer_app && node_id == *timer_app) continue;
      if (contains(for_list, node_id) || contains(if_list, node_id)) {
        if (!entry.is_object() || !entry.contains("action")) {
          throw ValueError(fmt::format("node settings of controller {}: no \"action\"", node_id));
        }
        std::string key = run_scoped_key(node_id, only_id, "action");
        std::string value = stored_bytes(entry["action"], key);
        out.writes.push_back({std::move(key), std::move(value)});
      }
      std::string key = run_scoped_key(node_id, only_id, "text");
      if (std::optional<std::string> text = storable_text(entry, key)) {
        out.writes.push_back({std::move(key), std::move(*text)});
      }
    }
  } catch (const Error&) {
    out.fault = std::current_exception();
  }
  return out;
}

std::optional<Value> local_variable_table(const Value& local_var) {
  if (skipped(local_var, "[]")) return std::nullopt;
  const Value definitions = parse_text(local_var, "local variable definitions");
  Value table = Value::object();
  std::size_t entries = 0;
  if (definitions.is_array()) {
    for (const Value& definition : definitions) {
      if (!definition.is_object() || !definition.contains("key") || !definition.contains("value")) {
        throw ValueError(
            "local variable definitions: every definition needs \"key\" and \"value\"");
      }
      const Value& key = definition["key"];
      const Value& value = definition["value"];
      if (key.is_array() || key.is_object()) {
        throw ValueError("local variable definitions: a \"key\" must be a text or a number");
      }
      ++entries;
      // Values that are not texts are kept in their text form, as global values
      // are, because references substitute texts. A number, boolean or null key
      // is an entry no reference name can match.
      if (key.is_string()) {
        table[key.get<std::string>()] = value.is_string() ? value : Value(text_form(value));
      }
    }
  } else {
    // Only an empty map or text walks like an empty list.
    const bool empty =
        (definitions.is_object() && definitions.empty()) ||
        (definitions.is_string() && definitions.get_ref<const std::string&>().empty());
    if (!empty) throw ValueError("local variable definitions: expected a JSON list");
  }
  if (entries == 0) return std::nullopt;
  return table;
}

Value global_variable_table(const std::vector<Row>& rows) {
  Value globals = Value::object();
  for (const Row& row : rows) {
    globals[text_form(row.value("key", Value()))] = text_form(row.value("value", Value()));
  }
  if (globals.empty()) return Value();
  return globals;
}

}  // namespace vqflow::apps
