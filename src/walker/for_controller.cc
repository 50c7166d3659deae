#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

awaitable<void> Auto::for_controller(std::string, std::string, std::string) { throw Error("not implemented yet"); }

}  // namespace vqflow
