#include "support/slow_playbook.h"

#include <filesystem>
#include <fstream>

namespace vqflow::test {

namespace {

Value slow_playbook(const std::string& uuid) {
  Value cells = Value::array();
  for (std::string id : {"S", "A", "B", "E"}) {
    cells.push_back({{"shape", "html"}, {"id", id}, {"data", {{"name", id}}}});
  }
  for (auto [from, to] : {std::pair{"S", "A"}, std::pair{"A", "B"}, std::pair{"B", "E"}}) {
    cells.push_back(
        {{"shape", "vqEdge"}, {"source", {{"cell", from}}}, {"target", {{"cell", to}}}});
  }
  return {{"uuid", uuid},
          {"name", "crash test"},
          {"start_app", "S"},
          {"end_app", "E"},
          {"flow_json", {{"cells", cells}}},
          {"flow_data",
           {{"A", {{"app_dir", "slow"}, {"data", {{"node_name", "nap"}, {"action", "nap"}}}}},
            {"B", {{"app_dir", "slow"}, {"data", {{"node_name", "nap"}, {"action", "nap"}}}}}}},
          {"controller_data", "{}"},
          {"local_var_data", "[]"}};
}

}  // namespace

void write_slow_app(const TempDir& dir, int seconds) {
  const std::filesystem::path app = dir.path() / "apps" / "slow";
  std::filesystem::create_directories(app / "main");
  std::ofstream(app / "app.json") << R"({"identification": "vqflow", "is_public": true,
    "name": "slow", "actions": {"nap": {"args": []}}})";
  const std::string run = (app / "main" / "run").string();
  std::ofstream(run) << "#!/bin/sh\ncat >/dev/null\necho $$ >> " << dir.file("app.pids")
                     << "\nsleep " << seconds
                     << "\necho '{\"status\": 0, \"result\": \"rested\"}'\n";
  std::filesystem::permissions(run, std::filesystem::perms::owner_all);
}

std::vector<int> slow_app_pids(const TempDir& dir) {
  std::vector<int> pids;
  std::ifstream in(dir.file("app.pids"));
  for (int pid = 0; in >> pid;) pids.push_back(pid);
  return pids;
}

std::string write_slow_playbook(const TempDir& dir, const std::string& uuid) {
  const std::string path = dir.file(uuid + ".json");
  std::ofstream(path) << json_text(slow_playbook(uuid), false);
  return path;
}

Row slow_playbook_row(const std::string& uuid) {
  Row row = slow_playbook(uuid);
  row["flow_json"] = json_text(row["flow_json"], false);
  row["flow_data"] = json_text(row["flow_data"], false);
  row["remarks"] = "";
  row["for_list"] = "";
  row["if_list"] = "";
  row["audit_list"] = "";
  row["status"] = 0;
  return row;
}

}  // namespace vqflow::test
