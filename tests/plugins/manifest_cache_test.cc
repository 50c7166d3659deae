#include "plugins/manifest_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "support/manual_clock.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using std::chrono::seconds;

// The later of the file's modification and change times, as the clock reads them.
std::chrono::system_clock::time_point file_time(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return std::chrono::system_clock::time_point(
      seconds(std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec)));
}

// A manifest changed less than two seconds ago may be rewritten without its
// stamp moving, so it is read again on every use until it has settled.
TEST(ManifestCache, ReadsAFreshFileEachTimeAndKeepsASettledOne) {
  test::TempDir dir;
  std::filesystem::create_directories(dir.path() / "kit");
  const std::string file = dir.file("kit/app.json");
  std::ofstream(file) << R"({"name": "kit"})";
  auto clock = test::ManualClock::make(file_time(file) + seconds(1));
  ManifestCache cache(clock);

  auto first = cache.get(dir.path().string(), "kit");
  EXPECT_EQ((*first)["name"], "kit");
  EXPECT_NE(cache.get(dir.path().string(), "kit"), first);  // not settled: read again

  clock->advance(seconds(1));
  auto settled = cache.get(dir.path().string(), "kit");
  EXPECT_EQ(cache.get(dir.path().string(), "kit"), settled);  // kept
}

}  // namespace
}  // namespace vqflow
