// The checks of `vqflow validate` and the import, on playbooks in memory: one
// clean playbook, and one change of it per case with the findings it must give.
#include "run/playbook_checks.h"

#include <gtest/gtest.h>

#include <functional>

namespace vqflow {
namespace {

const std::string k_a = "aaaa-0000-4000-8000-000000000001";
const std::string k_b = "bbbb-0000-4000-8000-000000000002";

Value node(const std::string& id) {
  return {{"shape", "html"}, {"id", id}, {"data", {{"name", id}}}};
}

Value edge(const std::string& from, const std::string& to) {
  return {{"shape", "vqEdge"}, {"source", {{"cell", from}}}, {"target", {{"cell", to}}}};
}

Value app(const std::string& action, Value arguments) {
  Value data = {{"node_name", action}, {"action", action}};
  data.update(arguments);
  return {{"app_dir", "vq_text"}, {"data", data}};
}

// S -> L (FOR over a list) -> A -> K (IF) -> B -> E, with an audit node U
// between B and E; references of every kind that resolve.
Value clean_playbook() {
  Value cells = Value::array();
  for (const std::string& id : {std::string("S"), std::string("L"), k_a, std::string("K"), k_b,
                                std::string("U"), std::string("E")}) {
    cells.push_back(node(id));
  }
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"S", "L"}, {"L", k_a}, {k_a, "K"}, {"K", k_b}, {k_b, "U"}, {"U", "E"}}) {
    cells.push_back(edge(from, to));
  }
  return {{"uuid", "pb-clean"},
          {"start_app", "S"},
          {"end_app", "E"},
          {"for_list", "L"},
          {"if_list", Value::array({"K"})},
          {"audit_list", "U"},
          {"flow_json", {{"cells", cells}}},
          {"flow_data",
           {{k_a, app("upper", {{"text", "@(" + k_a + ".status) @[owner] @{team}"}})},
            {k_b, app("length", {{"text", "@(" + k_a + ".result!>0)"}})}}},
          {"controller_data",
           {{"L", {{"node_name", "each"}, {"action", "1"}, {"text", "['x', 'y']"}}},
            {"K", {{"node_name", "ok?"}, {"action", 4}, {"text", "{0}==X"}}},
            {"U", {{"node_name", "approve"}, {"text", "alice"}}}}},
          {"local_var_data", Value::array({{{"key", "owner"}, {"value", "bot"}}})}};
}

struct Expected {
  Finding::Severity severity;
  std::string node;
  std::string member;
  std::string says;
};

constexpr auto E = Finding::Severity::error;
constexpr auto W = Finding::Severity::warning;

std::vector<Finding> findings_of(const Value& playbook) {
  ImportBatch batch = load_import_text(json_text(playbook, false), "pb.json");
  EXPECT_TRUE(batch.findings.empty()) << finding_line(batch.findings.front());
  CheckContext context;
  context.global_names = {"team"};
  return check_playbooks(batch, "pb.json", context);
}

std::string lines(const std::vector<Finding>& findings) {
  std::string out;
  for (const Finding& f : findings) out += finding_line(f) + "\n";
  return out;
}

TEST(PlaybookChecks, CleanPlaybookHasNoFindings) {
  EXPECT_EQ(lines(findings_of(clean_playbook())), "");
}

TEST(PlaybookChecks, EachFaultGivesItsFinding) {
  struct Case {
    std::string name;
    std::function<void(Value&)> change;
    std::vector<Expected> expected;
  };
  const std::vector<Case> cases = {
      {"flow_json is a number",
       [](Value& p) { p["flow_json"] = 5; },
       {{E, "", "flow_json", "has no \"cells\""}}},
      {"cells not a list",
       [](Value& p) { p["flow_json"]["cells"] = Value::object(); },
       {{E, "", "flow_json", "not a list"}}},
      {"garbage cells",
       [](Value& p) {
         auto& cells = p["flow_json"]["cells"];
         cells.push_back(7);
         cells.push_back({{"id", "x"}});
         cells.push_back({{"shape", "html"}, {"data", {{"name", "n"}}}});
         cells.push_back({{"shape", "vqEdge"}, {"source", {{"cell", "S"}}}});
         cells.push_back({{"shape", "other"}});  // ignored, as by the run
       },
       {{E, "", "flow_json", "cells[13] is not an object"},
        {E, "", "flow_json", "cells[14] has no text \"shape\""},
        {E, "", "flow_json", "cells[15] is a node without a text \"id\""},
        {E, "", "flow_json", "cells[16] is an edge without"}}},
      {"edge to an unknown node",
       [](Value& p) { p["flow_json"]["cells"].push_back(edge("K", "Q")); },
       {{E, "", "flow_json", "but Q is no node"}}},
      {"start that is no node",
       [](Value& p) { p["start_app"] = "nowhere"; },
       {{E, "nowhere", "start_app", "no node of flow_json"}}},
      {"no start", [](Value& p) { p.erase("start_app"); }, {{E, "", "start_app", "no start node"}}},
      {"timer that is no node",
       [](Value& p) { p["timer_app"] = "T"; },
       {{E, "T", "timer_app", "no node"}}},
      {"ids the HTTP API refuses",
       [](Value& p) {
         p["uuid"] = "a b";
         p["flow_json"]["cells"].push_back(node("bad&&id"));
       },
       {{E, "", "uuid", "1 to 128 characters"},
        {E, "bad&&id", "flow_json", "a node id must be 1 to 128"},
        {W, "bad&&id", "flow_json", "no route from the start node"}}},
      {"app node without flow data",
       [](Value& p) { p["flow_data"].erase(k_b); },
       {{E, k_b, "flow_data", "no entry with \"app_dir\" and \"data\""}}},
      {"flow_data is a list",
       [](Value& p) { p["flow_data"] = Value::array(); },
       {{E, "", "flow_data", "must be an object keyed by node id"}}},
      {"node data without node_name",
       [](Value& p) { p["flow_data"][k_a]["data"].erase("node_name"); },
       {{W, k_a, "flow_data", "no \"node_name\""}}},
      {"no controller_data",
       [](Value& p) { p.erase("controller_data"); },
       {{E, "", "controller_data", "give {}"}}},
      {"local_var_data is an object",
       [](Value& p) {
         p["local_var_data"] = {{"owner", "bot"}};
       },
       {{E, "", "local_var_data", "must be a list"},
        {W, k_a, "flow_data", "@[owner] names no local variable"}}},
      {"local_var_data {} walks like []",
       [](Value& p) { p["local_var_data"] = Value::object(); },
       {{W, k_a, "flow_data", "@[owner] names no local variable"}}},
      {"FOR without action",
       [](Value& p) { p["controller_data"]["L"].erase("action"); },
       {{E, "L", "controller_data", "no \"action\""}}},
      {"FOR with an unknown loop kind",
       [](Value& p) { p["controller_data"]["L"]["action"] = "4"; },
       {{W, "L", "controller_data", "\"4\" is no FOR kind"}}},
      {"FOR text that is no list",
       [](Value& p) { p["controller_data"]["L"]["text"] = "x, y"; },
       {{W, "L", "controller_data", "cannot be read for loop kind 1"}}},
      {"IF with an unknown kind",
       [](Value& p) { p["controller_data"]["K"]["action"] = "5"; },
       {{W, "K", "controller_data", "is no IF kind"}}},
      {"IF action that cannot be stored",
       [](Value& p) { p["controller_data"]["K"]["action"] = true; },
       {{E, "K", "controller_data", "must be a text or an integer"}}},
      {"IF kind 4 without a member comparison",
       [](Value& p) { p["controller_data"]["K"]["text"] = "ok"; },
       {{W, "K", "controller_data", "{member!>step}==value"}}},
      {"IF kind 3 pattern that does not compile",
       [](Value& p) {
         p["controller_data"]["K"]["action"] = "3";
         p["controller_data"]["K"]["text"] = "(a";
       },
       {{W, "K", "controller_data", "does not compile"}}},
      {"IF without settings",
       [](Value& p) { p["controller_data"].erase("K"); },
       {{W, "K", "controller_data", "has no settings"}}},
      {"audit without approver",
       [](Value& p) { p["controller_data"]["U"].erase("text"); },
       {{W, "U", "controller_data", "the id of the user asked to decide"}}},
      {"settings for no node",
       [](Value& p) { p["controller_data"]["ghost"] = Value::object(); },
       {{W, "ghost", "controller_data", "does not draw"}}},
      {"a cycle",
       [](Value& p) { p["flow_json"]["cells"].push_back(edge(k_b, "L")); },
       {{W, "L", "flow_json", "cycle (L -> " + k_a + " -> K -> " + k_b + " -> L)"}}},
      {"unreachable node and no route to the end",
       [](Value& p) {
         auto& cells = p["flow_json"]["cells"];
         cells.erase(cells.begin() + 12);  // U -> E
       },
       {{W, "E", "flow_json", "no route from the start node reaches it"},
        {W, "E", "end_app", "no route leads from the start node to the end node"}}},
      {"malformed references",
       [](Value& p) { p["flow_data"][k_a]["data"]["text"] = "@(S.result) @{a b} @[x"; },
       {{W, k_a, "flow_data", "\"@(S.result)\" is no reference"},
        {W, k_a, "flow_data", "\"@{a b}\" is no reference"},
        {W, k_a, "flow_data", "\"@[\" at byte 19 is not closed"}}},
      {"references to nothing",
       [](Value& p) {
         p["flow_data"][k_a]["data"]["text"] = "@(cccc-0-0-0-1.result) @{nobody} @[none]";
       },
       {{W, k_a, "flow_data", "names node cccc-0-0-0-1, which this playbook does not draw"},
        {W, k_a, "flow_data", "@{nobody} names no global variable"},
        {W, k_a, "flow_data", "@[none] names no local variable"}}},
      {"reference in a loop text",
       [](Value& p) { p["controller_data"]["L"]["text"] = "@{gone}"; },
       {{W, "L", "controller_data", "the loop text: @{gone}"}}},
  };
  for (const Case& c : cases) {
    Value playbook = clean_playbook();
    c.change(playbook);
    const std::vector<Finding> found = findings_of(playbook);
    std::vector<bool> used(found.size(), false);
    for (const Expected& e : c.expected) {
      bool matched = false;
      for (std::size_t i = 0; i < found.size() && !matched; ++i) {
        const Finding& f = found[i];
        if (!used[i] && f.severity == e.severity && f.node == e.node && f.member == e.member &&
            f.message.find(e.says) != std::string::npos) {
          used[i] = matched = true;
        }
      }
      EXPECT_TRUE(matched) << c.name << ": missing \"" << e.says << "\" (node " << e.node
                           << ", member " << e.member << ") in\n"
                           << lines(found);
    }
    EXPECT_EQ(found.size(), c.expected.size()) << c.name << ":\n" << lines(found);
    for (const Finding& f : found) {
      EXPECT_EQ(f.file, "pb.json");
      EXPECT_EQ(f.playbook.value_or(""), playbook["uuid"]);
    }
  }
}

TEST(PlaybookImport, ReaderFindingsNameTheEntryAndThePlace) {
  struct Case {
    std::string text;
    std::string line;  // finding_line of the first finding
  };
  const std::vector<Case> cases = {
      {"{\n  \"uuid\": \"a\",\n  \"uuid\": \"b\"\n}",
       "f.json:3:3: playbook: member \"uuid\" stands twice in the entry; only the last one "
       "counts: remove or rename the other"},
      {"[{\"uuid\": \"a\"}, {\"uuid\": \"b\", \"flow_json\": {\"cells\": [{\"id\": 1, \"id\": "
       "2}]}}]",
       "f.json:1:65: playbook[1]: member \"id\" stands twice in flow_json.cells[0]; only the last "
       "one counts: remove or rename the other"},
      {"{\"uuid\": \"a\", \"flow_json\": \"{\\\"cells\\\": [], \\\"cells\\\": []}\"}",
       "f.json: playbook: the text of \"flow_json\" holds member \"cells\" twice (line 1, column "
       "15 of that text); only the last one counts: remove or rename the other"},
      {"{\"workflows\": [{\"uuid\": \"a\", \"colour\": 1}]}",
       "f.json: workflows[0]: unknown member \"colour\" (see docs/playbooks.md)"},
      {"{\"variables\": [{\"key\": 1}]}", "f.json: variables[0]: a variable needs a text \"key\""},
      {"[1]", "f.json: playbook[0]: a playbook must be a JSON object"},
      {"{\"uuid\": \"a\",\n \"flow_json\": \"{x\"}",
       "f.json: playbook: \"flow_json\" is a text that is not valid JSON: invalid JSON at line 1, "
       "column 2 (offset 1): expected '\"' to begin a member name, found 'x'"},
      {"{\n\"uuid\": }",
       "f.json:2:9: not valid JSON: invalid JSON at line 2, column 9 (offset "
       "10): expected a value, found '}'"},
  };
  for (const Case& c : cases) {
    const ImportBatch batch = load_import_text(c.text, "f.json");
    ASSERT_FALSE(batch.findings.empty()) << c.text;
    EXPECT_EQ(finding_line(batch.findings.front()), c.line) << c.text;
    EXPECT_THROW(read_import_text(c.text, "f.json"), ConfigError) << c.text;
  }
  // A playbook with an error is left out; the others of the file are read.
  const ImportBatch batch = load_import_text("[{\"uuid\": \"a\"}, {\"uuid\": 5}]", "f.json");
  ASSERT_EQ(batch.workflows.size(), 1u);
  EXPECT_EQ(batch.workflows[0]["uuid"], "a");
}

}  // namespace
}  // namespace vqflow
