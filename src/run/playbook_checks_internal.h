#pragma once
// The parts of one playbook that the checks share. Not part of the run interface.
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "run/playbook_checks.h"

namespace vqflow::checks {

// Collects the findings of one playbook.
class Findings {
 public:
  Findings(std::string file, std::string uuid, std::vector<Finding>& out)
      : file_(std::move(file)), uuid_(std::move(uuid)), out_(out) {}

  void error(const std::string& node, const std::string& member, std::string message) {
    add(Finding::Severity::error, node, member, std::move(message));
  }
  void warning(const std::string& node, const std::string& member, std::string message) {
    add(Finding::Severity::warning, node, member, std::move(message));
  }

 private:
  void add(Finding::Severity severity, const std::string& node, const std::string& member,
           std::string message);

  std::string file_;
  std::string uuid_;
  std::vector<Finding>& out_;
};

// One playbook as the checks see it: its graph and its parsed settings.
struct PlaybookView {
  bool drawn = false;  // flow_json has a list of cells: membership checks mean something
  std::vector<std::string> node_ids;  // "html" cells, in order, each once
  std::set<std::string> nodes;
  std::vector<std::pair<std::string, std::string>> edges;  // between known nodes
  std::optional<std::string> start, end, input, webhook, timer;
  std::vector<std::string> for_list, if_list, audit_list;
  std::set<std::string> on_route;        // reachable from the start and reaching the end
  std::optional<Value> flow_data;        // parsed, when it is JSON
  std::optional<Value> controller_data;  // parsed, when it is JSON
  std::set<std::string> local_names;     // text keys of the local variables

  bool in(const std::vector<std::string>& list, const std::string& id) const;
  // Start, end, FOR, IF, audit, input, webhook or timer: no app behind it.
  bool is_special(const std::string& id) const;
};

// Graph and ids: flow_json, the node ids named by the record, routes.
// Fills the graph part of `view`.
void check_flow(const Row& row, PlaybookView& view, Findings& findings);

// flow_data: every app node on a route has an entry with app_dir and data.
void check_flow_data(const Row& row, PlaybookView& view, Findings& findings);

// controller_data: settings of FOR, IF, audit and timer nodes.
void check_settings(const Row& row, PlaybookView& view, Findings& findings);

// local_var_data: a list of {"key", "value"}; fills view.local_names.
void check_local_variables(const Row& row, PlaybookView& view, Findings& findings);

// References in node arguments and controller texts.
void check_references(const PlaybookView& view, const CheckContext& context, Findings& findings);

// The JSON document of a JSON column; absent when the column is absent or not JSON.
std::optional<Value> column_document(const Row& row, const char* column);

// The document of a column every run needs: an error `missing` when it is
// absent; with `object_shape`, an error "must be <object_shape>" when it is no
// JSON object. Absent after an error.
std::optional<Value> needed_column(const Row& row, const char* column, const char* missing,
                                   const char* object_shape, Findings& findings);

}  // namespace vqflow::checks
