#include "run/interrupt_rules.h"

#include <fmt/format.h>

#include "base/errors.h"

namespace vqflow {

std::string checked_on_interrupt(const std::string& value, const std::string& what) {
  if (value == "fail" || value == "resume") return value;
  throw ConfigError(fmt::format("{} \"{}\": expected \"fail\" or \"resume\"", what, value));
}

std::string run_on_interrupt(const std::optional<std::string>& requested, const Value& playbook) {
  if (requested) return *requested;
  if (playbook.is_string() && playbook.get_ref<const std::string&>() == "resume") return "resume";
  return "fail";
}

bool walks_again(const std::string& on_interrupt, long long attempt, bool waited_for_audit) {
  return on_interrupt == "resume" && !waited_for_audit && attempt >= 1 && attempt < k_max_attempts;
}

}  // namespace vqflow
