#pragma once
#include <string>
#include <vector>

#include "stores/database.h"

namespace vqflow {

// Playbooks and global variables read from one import file, checked and ready
// to store.
struct ImportBatch {
  std::vector<Row> workflows;  // rows of the workflow table
  std::vector<Row> variables;  // rows of the variablen table
};

// Reads an import file: one playbook object, an array of them, or an object with
// a "workflows" array and/or a "variables" array. Flow documents and settings may
// be JSON values or texts; for_list, if_list and audit_list a comma-joined text or
// an array of ids. Throws ConfigError "FILE: where: what" for anything wrong.
ImportBatch read_import_file(const std::string& path);

// The same for text already in memory; `origin` names it in messages.
ImportBatch read_import_text(const std::string& text, const std::string& origin);

// Stores the batch in one transaction: a playbook replaces the one with the
// same uuid, a variable the one with the same key; when the store refuses any
// row, nothing of the batch is stored (StoreError).
void store_import(Database& db, const ImportBatch& batch);

}  // namespace vqflow
