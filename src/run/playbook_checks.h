#pragma once
#include <set>
#include <string>
#include <vector>

#include "run/playbook_findings.h"
#include "run/playbook_import.h"

namespace vqflow {

// What the checks know beyond one playbook.
struct CheckContext {
  // Keys of the global variables a run would see: those of every file checked
  // together, and those already in the store when it was asked.
  std::set<std::string> global_names;
  bool store_asked = false;  // named in the message for an unknown global
};

// Every structural check of the playbooks of one read file (`batch.workflows`),
// as findings naming the file, the playbook, the node and the member. Errors:
// the playbook cannot run as drawn (graph, ids, node data, types of the
// settings). Warnings: defined behaviour that is rarely meant (cycles,
// unreachable nodes, unknown action codes, references that cannot expand).
// Pure: reads nothing but its arguments. The reader's own findings are not repeated.
std::vector<Finding> check_playbooks(const ImportBatch& batch, const std::string& file,
                                     const CheckContext& context);

// The keys of the batch's global variables.
std::set<std::string> variable_names(const ImportBatch& batch);

}  // namespace vqflow
