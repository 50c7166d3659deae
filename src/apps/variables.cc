#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

void Auto::make_var(const Value&, const Value&) { throw Error("not implemented yet"); }

}  // namespace vqflow
