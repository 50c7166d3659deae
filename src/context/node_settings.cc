#include "context/node_settings.h"

#include "base/errors.h"

namespace vqflow {

Value node_settings(const Value& controller_data) {
  if (controller_data.is_object()) return controller_data;
  if (!controller_data.is_string()) {
    throw FlowError("node settings: none are stored for this playbook");
  }
  try {
    Value settings = parse_json(controller_data.get_ref<const std::string&>());
    if (!settings.is_object()) throw FlowError("node settings: not a JSON object");
    return settings;
  } catch (const JsonError& e) {
    throw FlowError(std::string("node settings: not valid JSON: ") + e.what());
  }
}

Value node_name(const Value& controller_data, const std::string& node_id) {
  const Value settings = node_settings(controller_data);
  auto entry = settings.find(node_id);
  if (entry == settings.end() || !entry->is_object()) {
    throw FlowError("node settings: no entry for node " + node_id);
  }
  auto name = entry->find("node_name");
  if (name == entry->end()) throw FlowError("node settings: no \"node_name\" for node " + node_id);
  return *name;
}

}  // namespace vqflow
