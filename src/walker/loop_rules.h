#pragma once
#include <optional>
#include <string>
#include <string_view>

#include "value/value.h"

namespace vqflow::walker {

// Why a FOR node cannot walk: the text of its failure record and of the error
// that ends the walk.
struct LoopFailure {
  std::string record;
  std::string error;
  // Bound failures only: the rounds the collection asks for (more than the bound).
  std::optional<long long> rounds_over_bound;
};

enum class LoopKind { none, list, map, count };

// What a FOR node walks, read from its expanded collection text.
struct LoopCollection {
  LoopKind kind = LoopKind::none;      // none: the loop kind is not "1", "2" or "3"
  Value items;                         // list kind: the list; map kind: the map
  long long count = 0;                 // count kind: rounds 0 .. count - 1 (none when below 1)
  std::optional<LoopFailure> failure;  // set: nothing is walked
};

// Reads the collection by loop kind `action`: "1" a list and "2" a map in the
// literal notation (a quoted collection is read once more), "3" an integer
// count. A collection of the wrong kind, or of more than `max_loop` rounds,
// fails. No I/O.
LoopCollection read_loop_collection(std::string_view action, const std::string& collection,
                                    long long max_loop);

// The failures of a FOR node before its collection is read: no settings stored,
// references of the collection text that did not expand (`message`).
LoopFailure missing_loop_settings();
LoopFailure loop_variable_error(const std::string& message);

// What "&&value" holds for an element: maps and lists as JSON text, the rest in
// text form (True, False and None included).
std::string loop_value_text(const Value& element);

}  // namespace vqflow::walker
