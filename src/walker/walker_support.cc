#include "walker/walker_support.h"

#include "stores/stored_values.h"
#include "stores/kv_store.h"

namespace vqflow::walker {

Value node_settings(const RunState& engine) {
  const Value& stored = engine.controller_data;
  if (stored.is_object()) return stored;
  if (!stored.is_string()) throw WalkError("node settings: none are stored for this playbook");
  try {
    Value settings = parse_json(stored.get_ref<const std::string&>());
    if (!settings.is_object()) throw WalkError("node settings: not a JSON object");
    return settings;
  } catch (const JsonError& e) {
    throw WalkError(std::string("node settings: not valid JSON: ") + e.what());
  }
}

Value node_name(const RunState& engine, const std::string& node_id) {
  const Value settings = node_settings(engine);
  auto entry = settings.find(node_id);
  if (entry == settings.end() || !entry->is_object()) {
    throw WalkError("node settings: no entry for node " + node_id);
  }
  auto name = entry->find("node_name");
  if (name == entry->end()) throw WalkError("node settings: no \"node_name\" for node " + node_id);
  return *name;
}

std::optional<std::string> read_run_value(RunState& engine, const std::string& node_id,
                                          const std::string& field) {
  const std::string key = engine.run_key(node_id, field);
  std::optional<std::string> stored = engine.read_kv(key);
  if (!stored) return std::nullopt;
  return decode_stored_text(std::move(*stored), key);
}

void write_run_value(RunState& engine, const std::string& node_id, const std::string& field,
                     const std::string& value) {
  engine.stage_kv(engine.run_key(node_id, field), value);
}

}  // namespace vqflow::walker
