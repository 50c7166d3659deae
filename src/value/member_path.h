#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "value/value.h"

namespace vqflow {

// One step of a member path: a member name, and the list (or text) index the
// step reads as when it is an integer.
struct PathStep {
  std::string key;
  std::optional<long long> index;
};

// Why a member path stops: the value cannot be stepped into that way (a key
// into a list, anything into a number), an index outside the list or text, or
// a member the map does not have.
enum class PathFault { none, not_addressable, no_index, no_key };

struct PathRules {
  // An integer step into a map names the member of that name (else: no_key).
  bool integer_steps_name_members = false;
  // An integer step into a text takes its character (else: not_addressable).
  bool index_texts = true;
};

// The value reached from `root` by `steps` (negative indexes count from the
// end), or the fault of the first step that failed. Copies only the value reached.
struct PathOutcome {
  std::optional<Value> value;
  PathFault fault = PathFault::none;
};
PathOutcome walk_member_path(const Value& root, const std::vector<PathStep>& steps,
                             const PathRules& rules = {});

// A step of a reference or condition path ("!>" separated): an integer is an
// index, anything else a key with every "!!!" removed.
PathStep bang_path_step(std::string_view text);

}  // namespace vqflow
