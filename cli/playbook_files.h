#pragma once
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "run/playbook_checks.h"
#include "run/playbook_import.h"
#include "run/run_catalog.h"
#include "stores/database.h"

namespace vqflow::cli {

// One import file, read and checked.
struct CheckedFile {
  std::string path;
  ImportBatch batch;
  std::vector<Finding> findings;  // the reader's and the checks', errors first
};

// Reads every file and checks its playbooks against the global variables of
// all the files and, when given, those of the store.
std::vector<CheckedFile> check_files(const std::vector<std::string>& paths,
                                     const std::optional<std::set<std::string>>& stored_globals);

std::size_t count_errors(const std::vector<CheckedFile>& files);
std::size_t count_findings(const std::vector<CheckedFile>& files);

// The findings of all files: the errors of every file first, then the warnings.
std::vector<Finding> all_findings(const std::vector<CheckedFile>& files);

// One finding a line, in the order of all_findings.
void print_findings(std::ostream& out, const std::vector<CheckedFile>& files);

}  // namespace vqflow::cli
