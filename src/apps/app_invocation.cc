#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

bool Auto::is_identification(const std::string&) { throw Error("not implemented yet"); }
std::pair<int, Value> Auto::is_public(const std::string&) { throw Error("not implemented yet"); }
awaitable<Value> Auto::execute(std::string, std::optional<std::string>, std::optional<Value>) { throw Error("not implemented yet"); }

}  // namespace vqflow
