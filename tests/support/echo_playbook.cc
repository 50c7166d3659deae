#include "support/echo_playbook.h"

#include <filesystem>
#include <fstream>
#include <memory>

#include "support/fake_app_loader.h"

namespace vqflow::test {

void add_echo_app(Services& services, const TempDir& dir) {
  std::filesystem::create_directories(dir.path() / "apps" / "echo");
  std::ofstream(dir.path() / "apps" / "echo" / "app.json")
      << R"({"identification": "vqflow", "is_public": true, "actions": {"run": {}}})";
  services.config.apps_path = dir.file("apps");
  auto apps = std::make_shared<FakeAppLoader>();
  apps->add("echo", "run", [](const NamedArguments& args) {
    return Value{{"status", 0}, {"result", args.empty() ? "" : args[0].second}};
  });
  services.apps = apps;
}

// A playbook S -> A -> [U ->] B -> E where A and B call the fake app "echo".
Row echo_playbook(const std::string& uuid, bool with_audit) {
  Value cells = Value::array();
  auto node = [&](const std::string& id, const std::string& name) {
    cells.push_back({{"shape", "html"}, {"id", id}, {"data", {{"name", name}}}});
  };
  auto edge = [&](const std::string& from, const std::string& to) {
    cells.push_back(
        {{"shape", "vqEdge"}, {"source", {{"cell", from}}}, {"target", {{"cell", to}}}});
  };
  node("S", "开始");
  node("A", "first");
  node("B", "second");
  node("E", "结束");
  edge("S", "A");
  if (with_audit) {
    node("U", "审核");
    edge("A", "U");
    edge("U", "B");
  } else {
    edge("A", "B");
  }
  edge("B", "E");
  Value flow_data = {
      {"A",
       {{"app_dir", "echo"}, {"data", {{"node_name", "first"}, {"action", "run"}, {"text", "a"}}}}},
      {"B",
       {{"app_dir", "echo"},
        {"data", {{"node_name", "second"}, {"action", "run"}, {"text", "b"}}}}}};
  Value controller = {{"U", {{"node_name", "审核"}, {"text", "auditor-7"}}}};
  return {{"uuid", uuid},
          {"name", "test playbook"},
          {"remarks", "for tests"},
          {"start_app", "S"},
          {"end_app", "E"},
          {"for_list", ""},
          {"if_list", ""},
          {"audit_list", with_audit ? "U" : ""},
          {"flow_json", json_text(Value{{"cells", cells}})},
          {"flow_data", json_text(flow_data)},
          {"controller_data", json_text(controller)},
          {"local_var_data", "[]"},
          {"status", 0}};
}

Row noop_playbook(const std::string& uuid, bool with_audit) {
  Row row = echo_playbook(uuid, with_audit);
  Value flow_data = parse_json(row["flow_data"].get<std::string>());
  for (auto& [id, node] : flow_data.items()) {
    node["app_dir"] = "vq_noop";
    node["data"].erase("text");
  }
  row["flow_data"] = json_text(flow_data);
  return row;
}

}  // namespace vqflow::test
