#pragma once
#include <string>

#include "value/value.h"

namespace vqflow {

// The text a node's result is stored as: the JSON text of values that pass the
// JSON test (so a text that is itself JSON is encoded once more, as a JSON
// string), the text form of everything else. `ensure_ascii` escapes non-ASCII
// characters in the JSON text.
std::string result_text(const Value& result, bool ensure_ascii);

}  // namespace vqflow
