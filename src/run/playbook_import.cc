#include "run/playbook_import.h"

#include <fstream>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "base/errors.h"

namespace vqflow {

namespace {

const std::vector<std::string> k_text_columns = {"uuid",        "name",        "remarks",
                                                 "start_app",   "end_app",     "input_app",
                                                 "webhook_app", "timer_app"};
const std::vector<std::string> k_json_columns = {"flow_json", "flow_data", "controller_data",
                                                 "local_var_data"};
const std::vector<std::string> k_list_columns = {"for_list", "if_list", "audit_list"};

[[noreturn]] void refuse(const std::string& origin, const std::string& where,
                         const std::string& what) {
  throw ConfigError(fmt::format("{}: {}: {}", origin, where, what));
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

Row read_workflow(const Value& object, const std::string& origin, const std::string& where) {
  if (!object.is_object()) refuse(origin, where, "a playbook must be a JSON object");
  Row row = Value::object();
  for (const auto& [key, value] : object.items()) {
    if (key == "status") {
      if (!value.is_number_integer()) refuse(origin, where, "\"status\" must be an integer (0 enabled, 1 disabled)");
      row["status"] = value;
    } else if (contains(k_text_columns, key)) {
      if (!value.is_string() && !value.is_null()) {
        refuse(origin, where, fmt::format("\"{}\" must be a text", key));
      }
      row[key] = value;
    } else if (contains(k_json_columns, key)) {
      if (value.is_string()) {
        if (!try_parse_json(value.get<std::string>())) {
          refuse(origin, where, fmt::format("\"{}\" is a text that is not valid JSON", key));
        }
        row[key] = value;
      } else if (value.is_null()) {
        row[key] = value;
      } else {
        row[key] = json_text(value, false);
      }
    } else if (contains(k_list_columns, key)) {
      if (value.is_array()) {
        std::string joined;
        for (std::size_t i = 0; i < value.size(); ++i) {
          if (!value[i].is_string()) {
            refuse(origin, where, fmt::format("\"{}\" must hold node ids (texts)", key));
          }
          if (i > 0) joined += ",";
          joined += value[i].get<std::string>();
        }
        row[key] = joined;
      } else if (value.is_string() || value.is_null()) {
        row[key] = value;
      } else {
        refuse(origin, where, fmt::format("\"{}\" must be a comma-joined text or an array of ids", key));
      }
    } else {
      refuse(origin, where, fmt::format("unknown member \"{}\" (see docs/playbooks.md)", key));
    }
  }
  if (!row.contains("uuid") || !row["uuid"].is_string() || row["uuid"].get<std::string>().empty()) {
    refuse(origin, where, "a playbook needs a non-empty \"uuid\"");
  }
  if (!row.contains("status")) row["status"] = 0;
  return row;
}

Row read_variable(const Value& object, const std::string& origin, const std::string& where) {
  if (!object.is_object()) refuse(origin, where, "a variable must be a JSON object");
  Row row = Value::object();
  for (const auto& [key, value] : object.items()) {
    if (key != "key" && key != "value" && key != "status") {
      refuse(origin, where, fmt::format("unknown member \"{}\" (a variable has key, value, status)", key));
    }
  }
  if (!object.contains("key") || !object["key"].is_string()) {
    refuse(origin, where, "a variable needs a text \"key\"");
  }
  row["key"] = object["key"];
  row["value"] = object.contains("value") ? Value(text_form(object["value"])) : Value();
  if (object.contains("status")) {
    if (!object["status"].is_number_integer()) refuse(origin, where, "\"status\" must be an integer");
    row["status"] = object["status"];
  } else {
    row["status"] = 0;
  }
  return row;
}

}  // namespace

ImportBatch read_import_text(const std::string& text, const std::string& origin) {
  Value document;
  try {
    document = parse_json(text);
  } catch (const JsonError& e) {
    throw ConfigError(fmt::format("{}: not valid JSON: {}", origin, e.what()));
  }
  ImportBatch batch;
  auto read_workflows = [&](const Value& list, const std::string& prefix) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      batch.workflows.push_back(read_workflow(list[i], origin, fmt::format("{}[{}]", prefix, i)));
    }
  };
  if (document.is_array()) {
    read_workflows(document, "playbook");
  } else if (document.is_object() &&
             (document.contains("workflows") || document.contains("variables"))) {
    for (const auto& [key, value] : document.items()) {
      if (key != "workflows" && key != "variables") {
        refuse(origin, "top level", fmt::format("unknown member \"{}\" (expected \"workflows\" and/or \"variables\")", key));
      }
      if (!value.is_array()) refuse(origin, key, "must be an array");
    }
    if (document.contains("workflows")) read_workflows(document["workflows"], "workflows");
    if (document.contains("variables")) {
      const Value& list = document["variables"];
      for (std::size_t i = 0; i < list.size(); ++i) {
        batch.variables.push_back(read_variable(list[i], origin, fmt::format("variables[{}]", i)));
      }
    }
  } else if (document.is_object()) {
    batch.workflows.push_back(read_workflow(document, origin, "playbook"));
  } else {
    refuse(origin, "top level", "expected a playbook object, an array of playbooks, or {\"workflows\": [...], \"variables\": [...]}");
  }
  std::set<std::string> seen;
  for (const auto& row : batch.workflows) {
    if (!seen.insert(row["uuid"].get<std::string>()).second) {
      refuse(origin, "playbooks", fmt::format("uuid \"{}\" appears twice", row["uuid"].get<std::string>()));
    }
  }
  return batch;
}

ImportBatch read_import_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError(fmt::format("{}: cannot open the file", path));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) throw ConfigError(fmt::format("{}: cannot read the file", path));
  return read_import_text(text.str(), path);
}

void store_import(Database& db, const ImportBatch& batch) {
  std::vector<Replacement> rows;
  rows.reserve(batch.workflows.size() + batch.variables.size());
  for (const auto& row : batch.workflows) rows.push_back({"workflow", "uuid", row});
  for (const auto& row : batch.variables) rows.push_back({"variablen", "key", row});
  db.replace_rows(rows);
}

}  // namespace vqflow
