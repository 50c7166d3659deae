#pragma once
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "run/auto.h"
#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/fake_app_loader.h"
#include "support/test_support.h"

namespace vqflow::test {

// One run engine on a private SQLite file and memory key-value store, with a
// fake app loader and an apps folder that tests write manifests into.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_ = make_test_services(dir_);
    loader_ = std::make_shared<FakeAppLoader>();
    services_->apps = loader_;
    services_->config.lose_time = 3600;
    std::filesystem::create_directories(services_->config.apps_path);
    engine_ = std::make_unique<Auto>(services_, nullptr);
    engine_->only_id = "run0000001";
  }

  void write_manifest(const std::string& app_dir, const std::string& text) {
    std::filesystem::path folder = std::filesystem::path(services_->config.apps_path) / app_dir;
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "app.json") << text;
  }

  // A manifest that passes both checks.
  void write_app(const std::string& app_dir) {
    write_manifest(app_dir, R"({"identification": "vqflow", "is_public": true, "name": "x"})");
  }

  std::optional<std::string> stored(const std::string& node, const std::string& field) {
    return engine_->kv().get(engine_->run_key(node, field));  // staged writes first
  }
  void store(const std::string& node, const std::string& field, const std::string& value) {
    services_->kv->set(engine_->run_key(node, field), value, 3600);
  }

  std::vector<Row> logs() { return services_->db->table("logs").get(); }

  TempDir dir_;
  std::shared_ptr<Services> services_;
  std::shared_ptr<FakeAppLoader> loader_;
  std::unique_ptr<Auto> engine_;
};

}  // namespace vqflow::test
