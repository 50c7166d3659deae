#include "walker/walker_support.h"

#include "stores/kv_store.h"
#include "stores/stored_values.h"

namespace vqflow::walker {

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
