#pragma once
#include <ostream>
#include <string>
#include <vector>

#include "value/value.h"

namespace vqflow::cli {

// Prints `items` (an array of objects) as one JSON document when `json`, else
// as a table: a header line of `columns`, then one aligned line per item with
// each column's member ("-" when absent or null), or `empty` when there is none.
void print_items(std::ostream& out, const Value& items, const std::vector<std::string>& columns,
                 bool json, const std::string& empty);

}  // namespace vqflow::cli
