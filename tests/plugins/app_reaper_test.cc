#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include "support/processes.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;
using test::live_members_of_group;

TEST(AppReaper, AppGroupsDieWithAProcessKilledBySigkill) {
  test::WatchedChild probe({VQFLOW_APP_GUARD_PROBE});
  ASSERT_GT(probe.pid(), 0);
  std::optional<std::string> line = probe.lines().wait_for_line("group ", 20s);
  ASSERT_TRUE(line) << "the probe never spawned its app";
  const int pgid = std::stoi(line->substr(line->find("group ") + 6));
  ASSERT_TRUE(test::eventually([&] { return live_members_of_group(pgid).size() >= 2; }))
      << "the app's shell and its children";

  ::kill(probe.pid(), SIGKILL);
  probe.wait();
  const auto killed_at = std::chrono::steady_clock::now();
  EXPECT_TRUE(test::eventually([&] { return live_members_of_group(pgid).empty(); }, 1000ms))
      << live_members_of_group(pgid).size() << " processes of the app outlived it";
  EXPECT_LT(std::chrono::steady_clock::now() - killed_at, 1s);
  // Whatever survived the check goes now, so that nothing lingers.
  ::kill(-pgid, SIGKILL);
}

}  // namespace
}  // namespace vqflow
