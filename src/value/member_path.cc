#include "value/member_path.h"

#include "base/text.h"
#include "base/utf8.h"

namespace vqflow {

PathOutcome walk_member_path(const Value& root, const std::vector<PathStep>& steps,
                             const PathRules& rules) {
  const Value* value = &root;
  Value character;  // holds the value of a step into a text
  for (const PathStep& step : steps) {
    if (value->is_array()) {
      if (!step.index) return {std::nullopt, PathFault::not_addressable};
      long long n = *step.index;
      const auto size = static_cast<long long>(value->size());
      if (n < 0) n += size;
      if (n < 0 || n >= size) return {std::nullopt, PathFault::no_index};
      value = &(*value)[static_cast<std::size_t>(n)];
    } else if (value->is_object()) {
      if (step.index && !rules.integer_steps_name_members) return {std::nullopt, PathFault::no_key};
      auto it = value->find(step.key);
      if (it == value->end()) return {std::nullopt, PathFault::no_key};
      value = &*it;
    } else if (value->is_string() && rules.index_texts) {
      if (!step.index) return {std::nullopt, PathFault::not_addressable};
      std::optional<std::string> found =
          code_point_at(value->get_ref<const std::string&>(), *step.index);
      if (!found) return {std::nullopt, PathFault::no_index};
      character = std::move(*found);
      value = &character;
    } else {
      return {std::nullopt, PathFault::not_addressable};
    }
  }
  return {*value, PathFault::none};
}

PathStep bang_path_step(std::string_view text) {
  if (std::optional<long long> index = parse_integer(text)) return {std::string(text), index};
  return {remove_all(text, "!!!"), std::nullopt};
}

}  // namespace vqflow
