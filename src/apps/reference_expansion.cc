#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

Expansion Auto::analysis_var(const std::string& text) { return {0, text}; }

}  // namespace vqflow
