#pragma once
#include <string>

#include "value/value.h"

namespace vqflow {

// The node settings of a playbook (its `controller_data`) as a JSON object: the
// stored field holds the object's JSON text, or the object itself. Throws
// FlowError when it is absent, not valid JSON or not an object. No I/O.
Value node_settings(const Value& controller_data);

// "node_name" of the settings entry of `node_id`. Throws FlowError as above, and
// when the entry or its "node_name" is missing. No I/O.
Value node_name(const Value& controller_data, const std::string& node_id);

}  // namespace vqflow
