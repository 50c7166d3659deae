#pragma once
#include <optional>
#include <string>
#include <vector>

#include "base/errors.h"
#include "value/value.h"

namespace vqflow {

// One thing wrong with a playbook file. Errors: the playbook cannot run as
// drawn, and the import refuses the file. Warnings: the run's behaviour is
// defined, but rarely what was meant.
struct Finding {
  enum class Severity { error, warning };

  Severity severity = Severity::error;
  std::string file;
  std::optional<TextPosition> at;  // where in the file, when known
  // Readers locate by entry ("playbook[1]", "variables[0]", "top level") and
  // name the member in their message; checks locate by playbook, node, member.
  std::string entry;
  std::optional<std::string> playbook;  // uuid
  std::string node;
  std::string member;
  std::string message;  // "what is wrong; how to fix"

  bool is_error() const { return severity == Severity::error; }
};

// One line: "FILE[:LINE:COL]: ENTRY: message" or
// "FILE: playbook UUID: node N: member M: message", parts that don't apply
// left out. Ids that are not plain are quoted and escaped, so a line stays one line.
std::string finding_line(const Finding& finding);

// {"file", "line", "column", "entry", "playbook", "node", "member", "severity", "message"},
// members that don't apply as null.
Value finding_json(const Finding& finding);

// Errors first, each severity in its found order.
void order_findings(std::vector<Finding>& findings);

std::size_t count_errors(const std::vector<Finding>& findings);

}  // namespace vqflow
