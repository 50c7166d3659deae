#pragma once
#include <string>
#include <vector>

#include "run/playbook_findings.h"
#include "stores/database.h"

namespace vqflow {

// Playbooks and global variables read from one import file, ready to store
// when `findings` holds no error.
struct ImportBatch {
  std::vector<Row> workflows;  // rows of the workflow table
  std::vector<Row> variables;  // rows of the variablen table
  // What reading found wrong (errors only). An entry with an error is left
  // out of the rows; repeated member names keep the entry (the last value wins).
  std::vector<Finding> findings;
};

// Reads an import file: one playbook object, an array of them, or an object with
// a "workflows" array and/or a "variables" array. Flow documents and settings may
// be JSON values or texts; for_list, if_list and audit_list a comma-joined text or
// an array of ids. Never throws for what the file holds: every fault, an
// unreadable file included, is a finding naming the file and the entry.
ImportBatch load_import_file(const std::string& path);

// The same for text already in memory; `origin` names it in findings.
ImportBatch load_import_text(const std::string& text, const std::string& origin);

// load_import_file / load_import_text that throw ConfigError with the line of
// the first finding when reading found an error.
ImportBatch read_import_file(const std::string& path);
ImportBatch read_import_text(const std::string& text, const std::string& origin);

// Stores the batch in one transaction: a playbook replaces the one with the
// same uuid, a variable the one with the same key; when the store refuses any
// row, nothing of the batch is stored (StoreError).
void store_import(Database& db, const ImportBatch& batch);

}  // namespace vqflow
