// Structural checks of playbooks: the flow document, the ids it and the record
// name, routes and the node data of app nodes. Settings, local variables and
// references are checked in playbook_settings_checks.cc.
#include "run/playbook_checks.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>

#include "base/plain_id.h"
#include "base/text.h"
#include "run/playbook_checks_internal.h"

namespace vqflow {
namespace checks {

void Findings::add(Finding::Severity severity, const std::string& node, const std::string& member,
                   std::string message) {
  Finding finding;
  finding.severity = severity;
  finding.file = file_;
  finding.playbook = uuid_;
  finding.node = node;
  finding.member = member;
  finding.message = std::move(message);
  out_.push_back(std::move(finding));
}

bool PlaybookView::in(const std::vector<std::string>& list, const std::string& id) const {
  return std::find(list.begin(), list.end(), id) != list.end();
}

bool PlaybookView::is_special(const std::string& id) const {
  auto is = [&id](const std::optional<std::string>& named) { return named && *named == id; };
  return is(start) || is(end) || is(input) || is(webhook) || is(timer) || in(for_list, id) ||
         in(if_list, id) || in(audit_list, id);
}

std::optional<Value> column_document(const Row& row, const char* column) {
  auto it = row.find(column);
  if (it == row.end() || !it->is_string()) return std::nullopt;
  return try_parse_json(it->get_ref<const std::string&>());
}

std::optional<Value> needed_column(const Row& row, const char* column, const char* missing,
                                   const char* object_shape, Findings& findings) {
  auto stored = row.find(column);
  if (stored == row.end() || stored->is_null()) {
    findings.error("", column, missing);
    return std::nullopt;
  }
  std::optional<Value> document = column_document(row, column);
  if (object_shape && (!document || !document->is_object())) {
    findings.error("", column, std::string("must be ") + object_shape);
    return std::nullopt;
  }
  return document;
}

namespace {

std::optional<std::string> text_member(const Row& row, const char* name) {
  auto it = row.find(name);
  if (it == row.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::vector<std::string> id_list(const Row& row, const char* name) {
  std::vector<std::string> ids;
  if (auto text = text_member(row, name)) {
    for (std::string& id : split(*text, ",")) {
      if (!id.empty()) ids.push_back(std::move(id));
    }
  }
  return ids;
}

// "cell[3]" plus the node or edge it describes, for messages.
std::string cell_name(std::size_t index) { return fmt::format("cells[{}]", index); }

const Value* cell_text(const Value& cell, const char* outer, const char* inner) {
  auto it = cell.find(outer);
  if (it == cell.end()) return nullptr;
  if (inner) {
    if (!it->is_object()) return nullptr;
    auto in = it->find(inner);
    if (in == it->end()) return nullptr;
    return in->is_string() ? &*in : nullptr;
  }
  return it->is_string() ? &*it : nullptr;
}

// Nodes and edges of the cells; faults of single cells are errors.
void read_cells(const Value& cells, PlaybookView& view, Findings& findings) {
  std::vector<std::pair<std::size_t, std::pair<std::string, std::string>>> drawn;
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const Value& cell = cells[i];
    if (!cell.is_object()) {
      findings.error("", "flow_json",
                     cell_name(i) +
                         " is not an object; every cell is "
                         "{\"shape\": \"html\" or \"vqEdge\", ...}");
      continue;
    }
    const Value* shape = cell_text(cell, "shape", nullptr);
    if (!shape) {
      findings.error("", "flow_json",
                     cell_name(i) + " has no text \"shape\"; nodes are \"html\", edges \"vqEdge\"");
      continue;
    }
    if (*shape == "html") {
      const Value* id = cell_text(cell, "id", nullptr);
      if (!id) {
        findings.error("", "flow_json",
                       cell_name(i) + " is a node without a text \"id\"; give it one");
        continue;
      }
      const std::string& node = id->get_ref<const std::string&>();
      if (!is_plain_id(node)) {
        findings.error(node, "flow_json",
                       fmt::format("{}: a node id must be {}; rename the node", cell_name(i),
                                   k_plain_id_rule));
      }
      if (!view.nodes.insert(node).second) {
        findings.warning(node, "flow_json",
                         cell_name(i) +
                             " draws this node id a second time; the later name "
                             "counts: give each node its own id");
      } else {
        view.node_ids.push_back(node);
      }
      if (!cell_text(cell, "data", "name")) {
        findings.warning(node, "flow_json",
                         cell_name(i) + " has no text \"data\".\"name\"; give the node a name");
      }
    } else if (*shape == "vqEdge") {
      const Value* source = cell_text(cell, "source", "cell");
      const Value* target = cell_text(cell, "target", "cell");
      if (!source || !target) {
        findings.error("", "flow_json",
                       cell_name(i) +
                           " is an edge without text \"source\".\"cell\" and "
                           "\"target\".\"cell\"; name the node ids it joins");
        continue;
      }
      drawn.push_back({i, {source->get<std::string>(), target->get<std::string>()}});
    }
  }
  for (const auto& [index, edge] : drawn) {
    bool known = true;
    for (const std::string* end : {&edge.first, &edge.second}) {
      if (!view.nodes.count(*end)) {
        known = false;
        findings.error("", "flow_json",
                       fmt::format("{} joins {} and {}, but {} is no node; draw the node or fix "
                                   "the edge",
                                   cell_name(index), edge.first, edge.second, *end));
      }
    }
    if (known) view.edges.push_back(edge);
  }
}

// The nodes named by the record's own members must be nodes of the drawing.
void check_named_nodes(const Row& row, PlaybookView& view, Findings& findings) {
  view.start = text_member(row, "start_app");
  view.end = text_member(row, "end_app");
  // Without cells, every id would be "no node": flow_json's own finding says it.
  const bool drawn = view.drawn;
  if (!view.start) {
    findings.error("", "start_app", "no start node; name the id of the start node");
  } else if (drawn && !view.nodes.count(*view.start)) {
    findings.error(*view.start, "start_app",
                   "the start node is no node of flow_json; draw it or "
                   "name the id of the start node");
  }
  if (!view.end) {
    findings.warning("", "end_app", "no end node: every run walks no route; name the end node");
  } else if (drawn && !view.nodes.count(*view.end)) {
    findings.error(*view.end, "end_app",
                   "the end node is no node of flow_json; draw it or name "
                   "the id of the end node");
  }
  const std::pair<const char*, std::optional<std::string>*> optional_nodes[] = {
      {"input_app", &view.input}, {"webhook_app", &view.webhook}, {"timer_app", &view.timer}};
  for (const auto& [member, slot] : optional_nodes) {
    *slot = text_member(row, member);
    if (*slot && slot->value().empty()) slot->reset();
    if (*slot && drawn && !view.nodes.count(**slot)) {
      findings.error(**slot, member, "is no node of flow_json; draw it or name another node");
    }
  }
  const std::pair<const char*, std::vector<std::string>*> lists[] = {
      {"for_list", &view.for_list}, {"if_list", &view.if_list}, {"audit_list", &view.audit_list}};
  for (const auto& [member, list] : lists) {
    *list = id_list(row, member);
    for (const std::string& id : *list) {
      if (drawn && !view.nodes.count(id)) {
        findings.warning(id, member, "is no node of flow_json; remove it from the list");
      }
    }
  }
}

using Successors = std::map<std::string, std::vector<std::string>>;

std::set<std::string> reach(const Successors& next, const std::string& from) {
  std::set<std::string> seen = {from};
  std::vector<std::string> todo = {from};
  while (!todo.empty()) {
    const std::string at = std::move(todo.back());
    todo.pop_back();
    auto it = next.find(at);
    if (it == next.end()) continue;
    for (const std::string& to : it->second) {
      if (seen.insert(to).second) todo.push_back(to);
    }
  }
  return seen;
}

// The first cycle a depth-first walk from `start` meets, as its nodes in order.
std::vector<std::string> first_cycle(const Successors& next, const std::string& start) {
  std::map<std::string, int> state;  // 1 on the current route, 2 done
  std::vector<std::pair<std::string, std::size_t>> route = {{start, 0}};
  state[start] = 1;
  while (!route.empty()) {
    auto& [node, child] = route.back();
    auto it = next.find(node);
    if (it == next.end() || child >= it->second.size()) {
      state[node] = 2;
      route.pop_back();
      continue;
    }
    const std::string to = it->second[child++];
    if (state[to] == 1) {
      std::vector<std::string> cycle;
      bool on = false;
      for (const auto& step : route) {
        on = on || step.first == to;
        if (on) cycle.push_back(step.first);
      }
      return cycle;
    }
    if (state[to] == 0) {
      state[to] = 1;
      route.push_back({to, 0});
    }
  }
  return {};
}

std::string route_text(const std::vector<std::string>& nodes) {
  std::string out;
  for (const std::string& node : nodes) out += (out.empty() ? "" : " -> ") + node;
  return out;
}

void check_routes(PlaybookView& view, Findings& findings) {
  if (!view.start || !view.nodes.count(*view.start)) return;
  Successors next, previous;
  for (const auto& [from, to] : view.edges) {
    next[from].push_back(to);
    previous[to].push_back(from);
  }
  const std::set<std::string> reached = reach(next, *view.start);
  for (const std::string& node : view.node_ids) {
    if (!reached.count(node)) {
      findings.warning(node, "flow_json",
                       "no route from the start node reaches it, so no run walks it; connect "
                       "it or remove it");
    }
  }
  const std::vector<std::string> cycle = first_cycle(next, *view.start);
  if (!cycle.empty()) {
    findings.warning(cycle.front(), "flow_json",
                     fmt::format("the edges make a cycle ({} -> {}), so every run aborts when "
                                 "it lists its routes; remove one of these edges",
                                 route_text(cycle), cycle.front()));
  }
  if (view.end && view.nodes.count(*view.end)) {
    if (!reached.count(*view.end)) {
      findings.warning(*view.end, "end_app",
                       "no route leads from the start node to the end node, so a run walks "
                       "nothing; draw the edges between them");
    }
    const std::set<std::string> reaching = reach(previous, *view.end);
    for (const std::string& node : reached) {
      if (reaching.count(node)) view.on_route.insert(node);
    }
  }
}

}  // namespace

void check_flow(const Row& row, PlaybookView& view, Findings& findings) {
  auto flow = row.find("flow_json");
  if (flow == row.end() || flow->is_null()) {
    findings.error("", "flow_json",
                   "no flow document; give {\"cells\": [...]} with the nodes and edges");
  } else if (std::optional<Value> document = column_document(row, "flow_json"); !document) {
    findings.error("", "flow_json", "is not JSON; give {\"cells\": [...]}");
  } else if (!document->is_object() || !document->contains("cells")) {
    findings.error("", "flow_json",
                   "has no \"cells\"; give {\"cells\": [...]} with the nodes and edges");
  } else if (!(*document)["cells"].is_array()) {
    findings.error("", "flow_json", "\"cells\" is not a list; give the nodes and edges as a list");
  } else {
    view.drawn = true;
    read_cells((*document)["cells"], view, findings);
  }
  check_named_nodes(row, view, findings);
  check_routes(view, findings);
}

void check_flow_data(const Row& row, PlaybookView& view, Findings& findings) {
  view.flow_data = needed_column(
      row, "flow_data", "no flow data, so every run fails; give {} when no node calls an app",
      "an object keyed by node id: {\"NODE\": {\"app_dir\": ..., \"data\": {...}}}", findings);
  if (!view.flow_data) return;
  for (const std::string& node : view.node_ids) {
    if (!view.on_route.count(node) || view.is_special(node)) continue;
    auto entry = view.flow_data->find(node);
    if (entry == view.flow_data->end() || !entry->is_object() || !entry->contains("app_dir") ||
        !entry->contains("data")) {
      findings.error(node, "flow_data",
                     "this app node has no entry with \"app_dir\" and \"data\"; add {\"app_dir\": "
                     "\"APP\", \"data\": {\"node_name\": ..., \"action\": ..., arguments...}}, "
                     "or list the node as a controller");
      continue;
    }
    const Value& data = (*entry)["data"];
    if (!data.is_object()) {
      findings.error(node, "flow_data",
                     "\"data\" must be an object of node_name, action and "
                     "arguments");
      continue;
    }
    for (const char* needed : {"node_name", "action"}) {
      if (!data.contains(needed)) {
        findings.warning(node, "flow_data",
                         fmt::format("\"data\" has no \"{}\", so the run fails at this node; "
                                     "add it",
                                     needed));
      }
    }
  }
}

}  // namespace checks

std::vector<Finding> check_playbooks(const ImportBatch& batch, const std::string& file,
                                     const CheckContext& context) {
  std::vector<Finding> out;
  for (const Row& row : batch.workflows) {
    const std::string uuid = row.value("uuid", std::string());
    checks::Findings findings(file, uuid, out);
    if (!is_plain_id(uuid)) {
      findings.error(
          "", "uuid",
          fmt::format("a playbook id must be {}; the HTTP API could not name it", k_plain_id_rule));
    }
    checks::PlaybookView view;
    checks::check_flow(row, view, findings);
    checks::check_flow_data(row, view, findings);
    checks::check_settings(row, view, findings);
    checks::check_local_variables(row, view, findings);
    checks::check_references(view, context, findings);
  }
  return out;
}

std::set<std::string> variable_names(const ImportBatch& batch) {
  std::set<std::string> names;
  // Runs see only the variables with status 0.
  for (const Row& row : batch.variables) {
    if (row.value("status", Value(0)) == 0 && row.contains("key") && row["key"].is_string()) {
      names.insert(row["key"].get<std::string>());
    }
  }
  return names;
}

}  // namespace vqflow
