// Checks of node settings (controller_data), local variables and the
// variable references in node texts.
#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "apps/reference_expansion.h"
#include "base/regex.h"
#include "base/text.h"
#include "run/playbook_checks_internal.h"
#include "walker/condition_rules.h"
#include "walker/loop_rules.h"

namespace vqflow::checks {

namespace {

const Value* entry_of(const std::optional<Value>& settings, const std::string& node) {
  if (!settings) return nullptr;
  auto it = settings->find(node);
  return it == settings->end() ? nullptr : &*it;
}

// FOR and IF settings: "action" is required by every run (it is stored before
// the first node), its code and the text only by runs that reach the node.
void check_controller(const PlaybookView& view, const std::string& node, const char* kind,
                      const std::vector<std::string>& codes, const std::string& codes_meaning,
                      Findings& findings) {
  const Value* entry = entry_of(view.controller_data, node);
  if (!entry) {
    if (view.on_route.count(node)) {
      findings.warning(node, "controller_data",
                       fmt::format("this {} node has no settings, so every run that reaches it "
                                   "fails; add {{\"node_name\": ..., \"action\": ..., \"text\": "
                                   "...}}",
                                   kind));
    }
    return;
  }
  if (!entry->is_object() || !entry->contains("action")) {
    findings.error(node, "controller_data",
                   fmt::format("the settings of this {} node have no \"action\", so every run "
                               "fails before its first node; add \"action\": {}",
                               kind, codes_meaning));
    return;
  }
  const Value& action = (*entry)["action"];
  if (!action.is_string() && !action.is_number_integer()) {
    findings.error(node, "controller_data",
                   fmt::format("\"action\" must be a text or an integer ({}), so that it can be "
                               "stored for the run",
                               codes_meaning));
  } else if (std::find(codes.begin(), codes.end(), text_form(action)) == codes.end()) {
    findings.warning(node, "controller_data",
                     fmt::format("\"action\" {} is no {} kind ({}), so the node {}; use one of "
                                 "these codes",
                                 json_text(action, false), kind, codes_meaning,
                                 std::string(kind) == "FOR" ? "loops over nothing and its path ends"
                                                            : "lets every path go on"));
  }
  if (!entry->contains("text")) {
    findings.warning(node, "controller_data",
                     fmt::format("the settings have no \"text\", so every run that reaches this "
                                 "{} node fails; add it",
                                 kind));
  }
  if (!entry->contains("node_name")) {
    findings.warning(node, "controller_data",
                     "the settings have no \"node_name\", so the run fails at this node; add it");
  }
}

bool has_references(const std::string& text) {
  return !find_app_references(text).empty() || !find_global_references(text).empty() ||
         !find_local_references(text).empty();
}

// Condition and loop texts without references fail the same way in every run
// (whatever the last result): the walker's own rules tell.
void check_controller_text(const PlaybookView& view, const std::string& node, bool loop,
                           Findings& findings) {
  const Value* entry = entry_of(view.controller_data, node);
  if (!entry || !entry->is_object() || !entry->contains("text") || !entry->contains("action")) {
    return;
  }
  const std::string kind = text_form((*entry)["action"]);
  const std::string text = text_form((*entry)["text"]);
  if (has_references(text)) return;
  if (loop) {
    const walker::LoopCollection collection =
        walker::read_loop_collection(kind, text, std::numeric_limits<long long>::max());
    if (collection.failure) {
      findings.warning(node, "controller_data",
                       fmt::format("the loop text cannot be read for loop kind {}, so every run "
                                   "fails here with \"{}\"; write {}",
                                   kind, collection.failure->record,
                                   kind == "1"   ? "a list such as ['a', 'b']"
                                   : kind == "2" ? "a map such as {'k': 'v'}"
                                                 : "a whole number"));
    }
    return;
  }
  try {
    // "{}" is JSON, so kind 4 fails without a record only when the text compares no member.
    const walker::ConditionOutcome outcome = walker::compare_condition(kind, text, "{}");
    if (kind == "4" && outcome.answer == walker::ConditionAnswer::error && outcome.record.empty()) {
      findings.warning(node, "controller_data",
                       "condition kind 4 compares a JSON member of the last result, but the "
                       "text has no {member!>step}==value or {member}!=value, so the run fails "
                       "here; write one");
    }
  } catch (const RegexError& e) {
    if (e.kind() != RegexError::Kind::compile) return;
    findings.warning(node, "controller_data",
                     fmt::format("condition kind 3 is a regular expression, and this one does "
                                 "not compile ({}), so the run fails here; fix the pattern",
                                 e.what()));
  }
}

void check_timer(const PlaybookView& view, Findings& findings) {
  if (!view.timer || !view.nodes.count(*view.timer)) return;
  const Value* entry = entry_of(view.controller_data, *view.timer);
  if (!entry || !entry->is_object()) {
    findings.warning(*view.timer, "controller_data",
                     "the timer node has no settings, so no timer can be registered; add "
                     "{\"type\": \"date\"|\"interval\"|\"cron\", \"time\": ...}");
    return;
  }
  if (!entry->contains("type") || !entry->contains("time")) {
    findings.warning(*view.timer, "controller_data",
                     "timer settings need \"type\" and \"time\", or no timer can be registered; "
                     "add them");
  } else {
    const std::string type = text_form((*entry)["type"]);
    if (type != "date" && type != "interval" && type != "cron") {
      findings.warning(*view.timer, "controller_data",
                       fmt::format("timer \"type\" {} is none of date, interval, cron, so "
                                   "nothing is scheduled; use one of them",
                                   json_text((*entry)["type"], false)));
    }
  }
}

}  // namespace

void check_settings(const Row& row, PlaybookView& view, Findings& findings) {
  view.controller_data =
      needed_column(row, "controller_data",
                    "no node settings, so every run fails; give {} when no node has settings",
                    "an object keyed by node id: {\"NODE\": {\"node_name\": ..., \"action\": ..., "
                    "\"text\": ...}}",
                    findings);
  if (!view.controller_data) return;
  for (const auto& [node, entry] : view.controller_data->items()) {
    if (view.drawn && !view.nodes.count(node)) {
      findings.warning(node, "controller_data",
                       "these settings are for a node that flow_json does not draw; remove "
                       "them or fix the id");
    }
  }
  for (const std::string& node : view.for_list) {
    if (!view.nodes.count(node)) continue;
    check_controller(view, node, "FOR", {"1", "2", "3"}, "\"1\" list, \"2\" map, \"3\" count",
                     findings);
    check_controller_text(view, node, true, findings);
  }
  for (const std::string& node : view.if_list) {
    if (!view.nodes.count(node) || view.in(view.for_list, node)) continue;
    check_controller(view, node, "IF", {"1", "2", "3", "4"},
                     "\"1\" equal, \"2\" not equal, \"3\" pattern, \"4\" JSON member", findings);
    check_controller_text(view, node, false, findings);
  }
  for (const std::string& node : view.audit_list) {
    if (!view.on_route.count(node)) continue;
    const Value* entry = entry_of(view.controller_data, node);
    if (!entry || !entry->is_object() || !entry->contains("text")) {
      findings.warning(node, "controller_data",
                       "an audit node needs \"text\", the id of the user asked to decide, or "
                       "the run fails here; add it");
    }
    if (!entry || !entry->is_object() || !entry->contains("node_name")) {
      findings.warning(node, "controller_data",
                       "the audit settings have no \"node_name\", so the run fails here; add it");
    }
  }
  check_timer(view, findings);
}

void check_local_variables(const Row& row, PlaybookView& view, Findings& findings) {
  const std::optional<Value> definitions = needed_column(
      row, "local_var_data", "no local variables, so every run fails; give [] when there are none",
      nullptr, findings);
  const char* const k_shape = "a list of {\"key\": NAME, \"value\": ...}";
  if (!definitions) return;  // absent, or a text the reader has refused
  if (!definitions->is_array()) {
    const bool empty = (definitions->is_object() && definitions->empty()) ||
                       (definitions->is_string() && definitions->get<std::string>().empty());
    if (!empty) findings.error("", "local_var_data", fmt::format("must be {}", k_shape));
    return;
  }
  for (std::size_t i = 0; i < definitions->size(); ++i) {
    const Value& definition = (*definitions)[i];
    if (!definition.is_object() || !definition.contains("key") || !definition.contains("value")) {
      findings.error("", "local_var_data",
                     fmt::format("element {} has no \"key\" and \"value\", so every run fails; "
                                 "write {}",
                                 i, k_shape));
      continue;
    }
    const Value& key = definition["key"];
    if (key.is_string()) {
      view.local_names.insert(key.get<std::string>());
    } else if (key.is_structured()) {
      findings.error("", "local_var_data",
                     fmt::format("element {}: \"key\" must be a text, so every run fails", i));
    } else {
      findings.warning("", "local_var_data",
                       fmt::format("element {}: \"key\" {} is no text, so no reference can name "
                                   "it; write it as a text",
                                   i, json_text(key, false)));
    }
  }
}

}  // namespace vqflow::checks
