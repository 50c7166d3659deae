#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "flow/vq_tree.h"
#include "run/auto.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/fake_app_loader.h"
#include "support/test_support.h"

namespace vqflow::test {

// A run engine over a small playbook: start node "s", end node "e", app nodes
// calling the fake action demo.run, which logs "<node>:<arg>" and answers the
// result (and status) the test set for that node.
class WalkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_ = make_test_services(dir_);
    loader_ = std::make_shared<FakeAppLoader>();
    services_->apps = loader_;
    services_->config.lose_time = 3600;
    const auto folder = std::filesystem::path(services_->config.apps_path) / "demo";
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "app.json") << R"({"identification": "vqflow", "is_public": true})";
    loader_->add("demo", "run", [this](const NamedArguments& args) {
      std::string node, arg;
      for (const auto& [name, value] : args) {
        if (name == "node") node = value;
        if (name == "arg") arg = value;
      }
      calls_.push_back(node + ":" + arg);
      const auto answer = answers_.find(node);
      if (answer == answers_.end()) return Value{{"status", 0}, {"result", node + " done"}};
      return answer->second;
    });
    engine_ = std::make_unique<Auto>(services_, nullptr);
    engine_->only_id = "run0000001";
    engine_->start_app = "s";
    engine_->end_app = "e";
    flow_data_ = Value::object();
    settings_ = Value::object();
    calls_.clear();
    answers_.clear();
  }

  // An app node whose argument "arg" is `arg` (references allowed).
  void app(const std::string& id, const std::string& arg = "") {
    flow_data_[id] = {
        {"app_dir", "demo"},
        {"data", {{"node_name", "App " + id}, {"action", "run"}, {"node", id}, {"arg", arg}}}};
  }
  void answer(const std::string& id, Value status, Value result) {
    answers_[id] = {{"status", std::move(status)}, {"result", std::move(result)}};
  }
  void controller(std::vector<std::string>& list, const std::string& id, const Value& action,
                  const Value& text) {
    list.push_back(id);
    settings_[id] = {{"node_name", "Node " + id}, {"action", action}, {"text", text}};
  }
  void for_node(const std::string& id, const Value& action, const Value& text) {
    controller(engine_->for_list, id, action, text);
  }
  void if_node(const std::string& id, const Value& action, const Value& text) {
    controller(engine_->if_list, id, action, text);
  }
  void audit_node(const std::string& id, const std::string& user) {
    engine_->audit_list.push_back(id);
    settings_[id] = {{"node_name", "审核 " + id}, {"text", user}};
  }

  // Sets the link table, writes the node settings as a run would and walks the
  // routes from s to e.
  int walk(std::vector<std::pair<std::string, std::string>> links) {
    Value link_table = Value::array();
    for (const auto& [from, to] : links) link_table.push_back({from, to});
    engine_->node_link_data = std::make_shared<const Value>(std::move(link_table));
    engine_->controller_data = json_text(settings_);
    engine_->make_var("none", engine_->controller_data);
    auto paths = VqTree().get_paths(*engine_->node_link_data, engine_->start_app, engine_->end_app);
    return walk_paths(std::move(paths));
  }
  int walk_paths(std::vector<std::string> paths) {
    engine_->flow_data = std::make_shared<const Value>(flow_data_);
    return run_sync(engine_->for_play_book(std::move(paths), "book-1"));
  }

  std::optional<std::string> stored(const std::string& key) { return engine_->kv().get(key); }
  std::vector<Row> logs() { return services_->db->table("logs").get(); }
  std::vector<std::string> log_results() {
    std::vector<std::string> out;
    for (const Row& row : logs()) out.push_back(text_form(row["result"]));
    return out;
  }

  TempDir dir_;
  std::shared_ptr<Services> services_;
  std::shared_ptr<FakeAppLoader> loader_;
  std::unique_ptr<Auto> engine_;
  Value settings_;
  Value flow_data_;  // the playbook's node data, handed to the engine by walk_paths
  std::vector<std::string> calls_;
  std::map<std::string, Value> answers_;
};

}  // namespace vqflow::test
