#include "plugins/app_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

TEST(Utilities, FindAppJsonReadsTheManifestOrAnswersEmptyMap) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "scan");
  std::ofstream(dir.path() / "scan" / "app.json") << R"({"name": "扫描"})";
  EXPECT_EQ(File::find_app_json(dir.path().string(), "scan"), R"({"name": "扫描"})");
  EXPECT_EQ(File::find_app_json(dir.path().string(), "missing"), "{}");
  EXPECT_EQ(File::find_app_json(dir.file("nowhere"), "scan"), "{}");
  // A name that leaves the apps folder is no app.
  std::filesystem::create_directories(dir.path() / "apps");
  for (const std::string& bad : std::vector<std::string>{"../scan", "..", ".", "", "scan/..",
                                                         "/etc", std::string("scan\0x", 6)}) {
    EXPECT_EQ(File::find_app_json(dir.file("apps"), bad), "{}") << bad;
  }
}

TEST(Utilities, FindAppJsonRefusesAFolderOrAHugeFile) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "odd" / "app.json");
  EXPECT_THROW(File::find_app_json(dir.path().string(), "odd"), StoreError);
  std::filesystem::create_directories(dir.path() / "big");
  std::ofstream(dir.path() / "big" / "app.json") << std::string((4u << 20) + 1, ' ');
  EXPECT_THROW(File::find_app_json(dir.path().string(), "big"), StoreError);
}

}  // namespace
}  // namespace vqflow
