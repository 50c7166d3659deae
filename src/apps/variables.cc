#include <algorithm>

#include <fmt/format.h>

#include "stores/stored_values.h"
#include "stores/database.h"
#include "base/errors.h"
#include "stores/kv_store.h"
#include "apps/variables.h"

namespace vqflow::apps {

namespace {

// Whether a settings or definitions text is to be left alone: "none", or a text
// form that is empty or `empty_form` once every U+0020 is removed (other white
// space counts).
bool skipped(const Value& text, std::string_view empty_form) {
  if (text.is_string() && text.get_ref<const std::string&>() == "none") return true;
  std::string compact = text_form(text);
  compact.erase(std::remove(compact.begin(), compact.end(), ' '), compact.end());
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

}  // namespace

void make_var(RunState& run, const Value& local_var, const Value& controller_var) {
  // 1. Node settings: actions of FOR and IF controllers, then every node's text.
  if (!skipped(controller_var, "{}")) {
    const Value settings = parse_text(controller_var, "node settings");
    if (!settings.is_object()) {
      throw ValueError("node settings: expected a JSON object keyed by node id");
    }
    for (const auto& [node_id, entry] : settings.items()) {
      if (run.timer_app && node_id == *run.timer_app) continue;
      if (contains(run.for_list, node_id) || contains(run.if_list, node_id)) {
        if (!entry.is_object() || !entry.contains("action")) {
          throw ValueError(
              fmt::format("node settings of controller {}: no \"action\"", node_id));
        }
        const std::string key = run.run_key(node_id, "action");
        run.stage_kv(key, stored_bytes(entry["action"], key));
      }
      try {
        const std::string key = run.run_key(node_id, "text");
        run.stage_kv(key, stored_bytes(entry.at("text"), key));
      } catch (const std::exception&) {
        // A node without a storable "text" simply has none; the others go on.
      }
    }
  }

  // 2. Local variables. Values that are not texts are kept in their text form,
  // as global values are, because references substitute texts.
  if (!skipped(local_var, "[]")) {
    const Value definitions = parse_text(local_var, "local variable definitions");
    Value table = Value::object();
    std::size_t entries = 0;
    if (definitions.is_array()) {
      for (const Value& definition : definitions) {
        if (!definition.is_object() || !definition.contains("key") ||
            !definition.contains("value")) {
          throw ValueError(
              "local variable definitions: every definition needs \"key\" and \"value\"");
        }
        const Value& key = definition["key"];
        const Value& value = definition["value"];
        if (key.is_array() || key.is_object()) {
          throw ValueError("local variable definitions: a \"key\" must be a text or a number");
        }
        ++entries;
        // A number, boolean or null key is an entry no reference name can match.
        if (key.is_string()) {
          table[key.get<std::string>()] = value.is_string() ? value : Value(text_form(value));
        }
      }
    } else {
      // Only an empty map or text walks like an empty list.
      const bool empty = (definitions.is_object() && definitions.empty()) ||
                         (definitions.is_string() && definitions.get_ref<const std::string&>().empty());
      if (!empty) throw ValueError("local variable definitions: expected a JSON list");
    }
    if (entries > 0) run.local_var_data = std::move(table);
  }

  // 3. Global variables: every row with status 0, keys and values in text form.
  Value globals = Value::object();
  const std::vector<Row> rows =
      run.services()->db->table("variablen").select({"key", "value"}).where("status", 0).get();
  for (const Row& row : rows) {
    globals[text_form(row.value("key", Value()))] = text_form(row.value("value", Value()));
  }
  if (!globals.empty()) run.global_var_data = std::move(globals);
}

}  // namespace vqflow::apps
