#pragma once
#include <optional>
#include <string>

#include "value/value.h"

namespace vqflow {

// Tables of a flow document's "cells" (a list). Each throws FlowError naming the
// cell and the member when a cell lacks what its shape needs. No I/O.

// [[source, target], ...] of every "vqEdge" cell, in document order.
Value make_node_link(const Value& edges);
// Out-degree of every edge source except `end_app`: {source: count}.
Value make_node_list(const Value& edges, const std::optional<std::string>& end_app = {});
// {id: data.name} of every "html" cell.
Value make_node_name(const Value& edges);

}  // namespace vqflow
