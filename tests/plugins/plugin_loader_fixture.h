#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "base/errors.h"
#include "plugins/plugin_loader.h"
#include "support/plugin_test_apps.h"
#include "support/processes.h"
#include "support/test_support.h"

namespace vqflow {

// A plug-in loader on a fresh copy of the test apps (so that apps may write
// files beside themselves); checks at the end that no process is left behind.
class PluginLoaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    apps_ = test::copy_plugin_test_apps(dir_);
    config_.apps_path = apps_.string();
    config_.app_timeout_seconds = 20;
    options_.kill_grace = std::chrono::milliseconds(300);
  }

  void TearDown() override {
    loader_.reset();
    EXPECT_TRUE(test::eventually([] { return test::children_of_self().empty(); }))
        << "processes left behind";
  }

  AppLoader& loader() {
    if (!loader_) loader_ = make_app_loader(config_, options_);
    return *loader_;
  }

  Value call(const std::string& app, const std::string& action, NamedArguments args = {}) {
    return test::run_sync(loader().load(app, action)->call(std::move(args)));
  }

  // The message of the exception E that the call throws ("" and a failure otherwise).
  template <typename E>
  std::string failure(const std::string& app, const std::string& action, NamedArguments args = {}) {
    try {
      call(app, action, std::move(args));
    } catch (const E& e) {
      return e.what();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "unexpected exception: " << e.what();
      return "";
    }
    ADD_FAILURE() << app << " " << action << " did not throw";
    return "";
  }

  std::string load_failure(const std::string& app, const std::string& action) {
    try {
      loader().load(app, action);
    } catch (const AppLoadError& e) {
      return e.what();
    }
    ADD_FAILURE() << "loading " << app << " " << action << " did not fail";
    return "";
  }

  test::TempDir dir_;
  std::filesystem::path apps_;
  Config config_;
  PluginOptions options_;
  std::shared_ptr<AppLoader> loader_;
};

}  // namespace vqflow
