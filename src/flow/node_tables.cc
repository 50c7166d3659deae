#include "run/auto.h"
#include "platform/errors.h"

namespace vqflow {

Value Auto::make_node_link(const Value&) { throw Error("not implemented yet"); }
Value Auto::make_node_list(const Value&, const std::optional<std::string>&) { throw Error("not implemented yet"); }
Value Auto::make_node_name(const Value&) { throw Error("not implemented yet"); }

}  // namespace vqflow
