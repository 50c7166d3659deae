#include "run/playbook_import.h"

#include <fmt/format.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "base/errors.h"
#include "run/interrupt_rules.h"

namespace vqflow {

namespace {

const std::vector<std::string> k_text_columns = {
    "uuid", "name", "remarks", "start_app", "end_app", "input_app", "webhook_app", "timer_app"};
const std::vector<std::string> k_json_columns = {"flow_json", "flow_data", "controller_data",
                                                 "local_var_data"};
const std::vector<std::string> k_list_columns = {"for_list", "if_list", "audit_list"};

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// One path step as text: a member name, or "[3]" for a list index.
std::string step_text(const Value& step) {
  return step.is_string() ? step.get<std::string>() : fmt::format("[{}]", step.get<std::size_t>());
}

// "cells[3].data" for the path steps parents[from...].
std::string path_text(const Value& parents, std::size_t from) {
  std::string out;
  for (std::size_t i = from; i < parents.size(); ++i) {
    if (!out.empty() && parents[i].is_string()) out += ".";
    out += step_text(parents[i]);
  }
  return out;
}

// Reads one file's document into a batch, noting every fault.
class ImportReader {
 public:
  ImportReader(std::string origin, ImportBatch& batch)
      : origin_(std::move(origin)), batch_(batch) {}

  void read(const std::string& text) {
    Value document;
    std::vector<DuplicateMember> duplicates;
    try {
      document = parse_json_noting_duplicates(text, duplicates);
    } catch (const JsonError& e) {
      Finding finding = make("", "", std::string("not valid JSON: ") + e.what());
      finding.at = e.position();
      batch_.findings.push_back(std::move(finding));
      return;
    }
    for (const DuplicateMember& duplicate : duplicates) note_duplicate(document, duplicate);
    read_document(document);
  }

 private:
  Finding make(const std::string& entry, const std::string& member, std::string message) const {
    Finding finding;
    finding.file = origin_;
    finding.entry = entry;
    finding.member = member;
    finding.message = std::move(message);
    return finding;
  }

  void refuse(const std::string& entry, const std::string& member, std::string message) {
    batch_.findings.push_back(make(entry, member, std::move(message)));
    ++errors_;
  }

  // The entry and member a repeated name stands in, from the document's shape.
  void note_duplicate(const Value& document, const DuplicateMember& duplicate) {
    const Value& parents = duplicate.parents;
    std::string entry = "playbook";
    std::size_t inside = 0;  // where the path inside the entry begins
    if (document.is_array() && !parents.empty()) {
      entry = "playbook" + step_text(parents[0]);
      inside = 1;
    } else if (document.is_object() &&
               (document.contains("workflows") || document.contains("variables"))) {
      entry = "top level";
      if (!parents.empty()) {
        entry = step_text(parents[0]) + (parents.size() > 1 ? step_text(parents[1]) : "");
        inside = std::min<std::size_t>(2, parents.size());
      }
    }
    const bool nested = inside < parents.size();
    Finding finding =
        make(entry, nested ? step_text(parents[inside]) : duplicate.key,
             fmt::format("member \"{}\" stands twice in {}; only the last one counts: remove or "
                         "rename the other",
                         duplicate.key, nested ? path_text(parents, inside) : "the entry"));
    finding.at = duplicate.at;
    batch_.findings.push_back(std::move(finding));
  }

  void read_document(const Value& document) {
    if (document.is_array()) {
      read_workflows(document, "playbook");
    } else if (document.is_object() &&
               (document.contains("workflows") || document.contains("variables"))) {
      for (const auto& [key, value] : document.items()) {
        if (key != "workflows" && key != "variables") {
          refuse("top level", key,
                 fmt::format("unknown member \"{}\" (expected \"workflows\" and/or \"variables\")",
                             key));
        } else if (!value.is_array()) {
          refuse(key, key, "must be an array");
        }
      }
      if (document.contains("workflows") && document["workflows"].is_array()) {
        read_workflows(document["workflows"], "workflows");
      }
      if (document.contains("variables") && document["variables"].is_array()) {
        const Value& list = document["variables"];
        for (std::size_t i = 0; i < list.size(); ++i) {
          read_variable(list[i], fmt::format("variables[{}]", i));
        }
      }
    } else if (document.is_object()) {
      read_workflow(document, "playbook");
    } else {
      refuse("top level", "",
             "expected a playbook object, an array of playbooks, or {\"workflows\": [...], "
             "\"variables\": [...]}");
    }
  }

  void read_workflows(const Value& list, const std::string& prefix) {
    std::set<std::string> seen;
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::string entry = fmt::format("{}[{}]", prefix, i);
      read_workflow(list[i], entry);
      const Value& uuid = list[i].is_object() ? list[i].value("uuid", Value()) : Value();
      if (uuid.is_string() && !seen.insert(uuid.get<std::string>()).second) {
        refuse(entry, "uuid",
               fmt::format("uuid \"{}\" appears twice in the file; give each playbook its own",
                           uuid.get<std::string>()));
      }
    }
  }

  // A JSON column: a JSON value is kept as its JSON text, a text must be JSON.
  void read_json_column(Row& row, const std::string& entry, const std::string& key,
                        const Value& value) {
    if (!value.is_string()) {
      row[key] = value.is_null() ? value : Value(json_text(value, false));
      return;
    }
    std::vector<DuplicateMember> duplicates;
    try {
      parse_json_noting_duplicates(value.get_ref<const std::string&>(), duplicates);
    } catch (const JsonError& e) {
      refuse(entry, key, fmt::format("\"{}\" is a text that is not valid JSON: {}", key, e.what()));
      return;
    }
    for (const DuplicateMember& duplicate : duplicates) {
      const std::string where =
          duplicate.parents.empty() ? std::string() : " at " + path_text(duplicate.parents, 0);
      batch_.findings.push_back(
          make(entry, key,
               fmt::format("the text of \"{}\" holds member \"{}\" twice{} (line {}, column {} of "
                           "that text); only the last one counts: remove or rename the other",
                           key, duplicate.key, where, duplicate.at.line, duplicate.at.column)));
    }
    row[key] = value;
  }

  void read_list_column(Row& row, const std::string& entry, const std::string& key,
                        const Value& value) {
    if (value.is_string() || value.is_null()) {
      row[key] = value;
      return;
    }
    if (!value.is_array()) {
      refuse(entry, key, fmt::format("\"{}\" must be a comma-joined text or an array of ids", key));
      return;
    }
    std::string joined;
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (!value[i].is_string()) {
        refuse(entry, key, fmt::format("\"{}\" must hold node ids (texts)", key));
        return;
      }
      if (i > 0) joined += ",";
      joined += value[i].get<std::string>();
    }
    row[key] = joined;
  }

  void read_workflow(const Value& object, const std::string& entry) {
    const std::size_t errors_before = errors_;
    if (!object.is_object()) {
      refuse(entry, "", "a playbook must be a JSON object");
      return;
    }
    Row row = Value::object();
    for (const auto& [key, value] : object.items()) {
      if (key == "status") {
        if (!value.is_number_integer()) {
          refuse(entry, key, "\"status\" must be an integer (0 enabled, 1 disabled)");
        }
        row["status"] = value;
      } else if (contains(k_text_columns, key)) {
        if (!value.is_string() && !value.is_null()) {
          refuse(entry, key, fmt::format("\"{}\" must be a text", key));
        }
        row[key] = value;
      } else if (contains(k_json_columns, key)) {
        read_json_column(row, entry, key, value);
      } else if (contains(k_list_columns, key)) {
        read_list_column(row, entry, key, value);
      } else if (key == "on_interrupt") {
        try {
          row[key] = checked_on_interrupt(
              value.is_string() ? value.get<std::string>() : json_text(value, false),
              "\"on_interrupt\"");
        } catch (const ConfigError& e) {
          refuse(entry, key, e.what());
        }
      } else {
        refuse(entry, key, fmt::format("unknown member \"{}\" (see docs/playbooks.md)", key));
      }
    }
    if (!row.contains("uuid") || !row["uuid"].is_string() ||
        row["uuid"].get<std::string>().empty()) {
      refuse(entry, "uuid", "a playbook needs a non-empty \"uuid\"");
    }
    if (errors_ != errors_before) return;
    if (!row.contains("status")) row["status"] = 0;
    batch_.workflows.push_back(std::move(row));
  }

  void read_variable(const Value& object, const std::string& entry) {
    const std::size_t errors_before = errors_;
    if (!object.is_object()) {
      refuse(entry, "", "a variable must be a JSON object");
      return;
    }
    for (const auto& [key, value] : object.items()) {
      if (key != "key" && key != "value" && key != "status") {
        refuse(entry, key,
               fmt::format("unknown member \"{}\" (a variable has key, value, status)", key));
      }
    }
    if (!object.contains("key") || !object["key"].is_string()) {
      refuse(entry, "key", "a variable needs a text \"key\"");
    }
    if (object.contains("status") && !object["status"].is_number_integer()) {
      refuse(entry, "status", "\"status\" must be an integer");
    }
    if (errors_ != errors_before) return;
    Row row = Value::object();
    row["key"] = object["key"];
    row["value"] = object.contains("value") ? Value(text_form(object["value"])) : Value();
    row["status"] = object.contains("status") ? object["status"] : Value(0);
    batch_.variables.push_back(std::move(row));
  }

  std::string origin_;
  ImportBatch& batch_;
  std::size_t errors_ = 0;
};

ImportBatch throw_on_error(ImportBatch batch) {
  for (const Finding& finding : batch.findings) {
    if (finding.is_error()) throw ConfigError(finding_line(finding));
  }
  return batch;
}

}  // namespace

ImportBatch load_import_text(const std::string& text, const std::string& origin) {
  ImportBatch batch;
  ImportReader(origin, batch).read(text);
  return batch;
}

ImportBatch load_import_file(const std::string& path) {
  auto fault = [&path](const char* message) {
    ImportBatch batch;
    Finding finding;
    finding.file = path;
    finding.message = message;
    batch.findings.push_back(std::move(finding));
    return batch;
  };
  std::ifstream in(path, std::ios::binary);
  if (!in) return fault("cannot open the file");
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return fault("cannot read the file");
  return load_import_text(text.str(), path);
}

ImportBatch read_import_text(const std::string& text, const std::string& origin) {
  return throw_on_error(load_import_text(text, origin));
}

ImportBatch read_import_file(const std::string& path) {
  return throw_on_error(load_import_file(path));
}

void store_import(Database& db, const ImportBatch& batch) {
  std::vector<Replacement> rows;
  rows.reserve(batch.workflows.size() + batch.variables.size());
  for (const auto& row : batch.workflows) rows.push_back({"workflow", "uuid", row});
  for (const auto& row : batch.variables) rows.push_back({"variablen", "key", row});
  db.replace_rows(rows);
}

}  // namespace vqflow
