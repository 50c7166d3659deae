#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

awaitable<NodeResult> Auto::get_app_data(std::string, std::string, std::optional<Value>, bool) { throw Error("not implemented yet"); }

}  // namespace vqflow
