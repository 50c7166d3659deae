#pragma once
#include <optional>
#include <string>

#include "value/value.h"

namespace vqflow {

// What becomes of a run whose process dies: with "fail" (the default) the
// repairing process closes it as interrupted; with "resume" it walks the run
// again under the same only_id, answering the finished nodes from their
// checkpoints and calling again the node that was in flight. No I/O here.

// Walks of one run at most, the first included; an interruption of the last
// closes the run as interrupted.
constexpr long long k_max_attempts = 3;

// `value` when it is "fail" or "resume"; else ConfigError
// `<what> "x": expected "fail" or "resume"`.
std::string checked_on_interrupt(const std::string& value, const std::string& what);

// The choice a run makes: the request's, else the playbook's stored one (a
// null or empty column is "fail").
std::string run_on_interrupt(const std::optional<std::string>& requested, const Value& playbook);

// Whether a run interrupted in walk `attempt` is walked again. A run that
// waited at an audit node is not: its walk goes on from a decision, which a
// new walk from the start would ask for again.
bool walks_again(const std::string& on_interrupt, long long attempt, bool waited_for_audit);

}  // namespace vqflow
