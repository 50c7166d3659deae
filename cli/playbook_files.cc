#include "playbook_files.h"

namespace vqflow::cli {

std::vector<CheckedFile> check_files(const std::vector<std::string>& paths,
                                     const std::optional<std::set<std::string>>& stored_globals) {
  std::vector<CheckedFile> files;
  CheckContext context;
  if (stored_globals) {
    context.global_names = *stored_globals;
    context.store_asked = true;
  }
  for (const std::string& path : paths) {
    CheckedFile file{path, load_import_file(path), {}};
    const std::set<std::string> names = variable_names(file.batch);
    context.global_names.insert(names.begin(), names.end());
    files.push_back(std::move(file));
  }
  for (CheckedFile& file : files) {
    file.findings = file.batch.findings;
    std::vector<Finding> found = check_playbooks(file.batch, file.path, context);
    file.findings.insert(file.findings.end(), found.begin(), found.end());
    order_findings(file.findings);
  }
  return files;
}

std::size_t count_errors(const std::vector<CheckedFile>& files) {
  std::size_t n = 0;
  for (const CheckedFile& file : files) n += vqflow::count_errors(file.findings);
  return n;
}

std::size_t count_findings(const std::vector<CheckedFile>& files) {
  std::size_t n = 0;
  for (const CheckedFile& file : files) n += file.findings.size();
  return n;
}

std::vector<Finding> all_findings(const std::vector<CheckedFile>& files) {
  std::vector<Finding> findings;
  for (const CheckedFile& file : files) {
    findings.insert(findings.end(), file.findings.begin(), file.findings.end());
  }
  order_findings(findings);
  return findings;
}

void print_findings(std::ostream& out, const std::vector<CheckedFile>& files) {
  for (const Finding& finding : all_findings(files)) out << finding_line(finding) << "\n";
}

}  // namespace vqflow::cli
