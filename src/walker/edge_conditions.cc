#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

std::optional<bool> Auto::is_condition(const std::string&, const std::string&, const std::string&) { throw Error("not implemented yet"); }

}  // namespace vqflow
