#include "run/playbook_findings.h"

#include <fmt/format.h>

#include <algorithm>

#include "base/plain_id.h"

namespace vqflow {

namespace {

std::string shown_id(const std::string& id) {
  return is_plain_id(id) ? id : json_text(Value(id), false);
}

Value or_null(const std::string& text) { return text.empty() ? Value() : Value(text); }

}  // namespace

std::string finding_line(const Finding& finding) {
  std::string line = finding.file;
  if (finding.at) line += fmt::format(":{}:{}", finding.at->line, finding.at->column);
  line += ": ";
  if (!finding.entry.empty()) {
    line += finding.entry + ": ";
  } else if (finding.playbook) {
    line += "playbook " + shown_id(*finding.playbook) + ": ";
  }
  if (!finding.node.empty()) line += "node " + shown_id(finding.node) + ": ";
  if (!finding.member.empty() && finding.entry.empty()) line += "member " + finding.member + ": ";
  line += finding.message;
  return line;
}

Value finding_json(const Finding& finding) {
  Value out = Value::object();
  out["file"] = finding.file;
  out["line"] = finding.at ? Value(finding.at->line) : Value();
  out["column"] = finding.at ? Value(finding.at->column) : Value();
  out["entry"] = or_null(finding.entry);
  out["playbook"] = finding.playbook ? Value(*finding.playbook) : Value();
  out["node"] = or_null(finding.node);
  out["member"] = or_null(finding.member);
  out["severity"] = finding.is_error() ? "error" : "warning";
  out["message"] = finding.message;
  return out;
}

void order_findings(std::vector<Finding>& findings) {
  std::stable_partition(findings.begin(), findings.end(),
                        [](const Finding& f) { return f.is_error(); });
}

std::size_t count_errors(const std::vector<Finding>& findings) {
  return static_cast<std::size_t>(std::count_if(findings.begin(), findings.end(),
                                                [](const Finding& f) { return f.is_error(); }));
}

}  // namespace vqflow
