#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <ctime>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "stores/database.h"
#include "support/echo_playbook.h"
#include "support/processes.h"
#include "support/raw_http_client.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;

// The port a `vqflow serve` names in its process log.
unsigned short port_of(test::WatchedChild& server) {
  const std::string listening = "listening on 127.0.0.1:";
  std::optional<std::string> line = server.lines().wait_for_line(listening, 20s);
  if (!line) return 0;
  return static_cast<unsigned short>(
      std::stoi(line->substr(line->find(listening) + listening.size())));
}

// "YYYY-MM-DD HH:MM:SS" (local time) as seconds.
std::time_t seconds_of(const std::string& text) {
  std::tm parts{};
  std::istringstream(text) >> std::get_time(&parts, "%Y-%m-%d %H:%M:%S");
  parts.tm_isdst = -1;
  return std::mktime(&parts);
}

std::string rpc(unsigned short port, const std::string& method, const Value& params) {
  Value call = {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", 1}};
  return test::response_body(test::http_post(port, "/rpc", json_text(call)));
}

// Two servers on one SQLite file (whose embedded key-value store holds the
// timer lock): the second waits as a standby, and when the first is killed
// it takes the 1 s timer over within the lock's lifetime, never firing it in
// the same moment as the first did.
TEST(ServeProcessFailover, StandbyTakesTheTimersOverWithoutFiringTwice) {
  test::TempDir dir;
  const std::string db_file = dir.file("vqflow.db");
  auto db = open_database(db_file);
  db->init_schema();
  db->table("workflow").insert(test::noop_playbook("pb"));
  const std::vector<std::string> serve = {
      VQFLOW_BINARY,          "--db",  db_file,    "--apps",
      dir.path().string(),    "serve", "--listen", "127.0.0.1:0",
      "--timer-lock-seconds", "3"};

  auto holder = std::make_unique<test::WatchedChild>(serve);
  const unsigned short port = port_of(*holder);
  ASSERT_NE(port, 0);
  test::WatchedChild standby(serve);
  ASSERT_TRUE(standby.lines().wait_for_line("timer service: standby", 20s));
  ASSERT_NE(port_of(standby), 0) << "the standby serves too";

  const Value settings = {
      {"tm", {{"type", "interval"}, {"interval_type", "seconds"}, {"time", "1"}}}};
  ASSERT_EQ(rpc(port, "exec",
                {{"uuid", "pb"},
                 {"timer_app", "tm"},
                 {"w_timer_app", ""},
                 {"controller_data", settings.dump()}}),
            R"({"jsonrpc": "2.0", "result": null, "id": 1})");
  ASSERT_EQ(rpc(port, "resume", {{"uuid", "tm"}}),
            R"({"jsonrpc": "2.0", "result": null, "id": 1})");

  auto fires = [&] {
    return db->table("logs").where("uuid", "pb").where("result", "剧本开始执行").get();
  };
  ASSERT_TRUE(test::eventually([&] { return fires().size() >= 3; }, 20s));
  EXPECT_FALSE(standby.lines().wait_for_line("lock taken", 0ms)) << "taken while held";

  ::kill(holder->pid(), SIGKILL);
  holder->wait();
  const auto killed_at = std::chrono::steady_clock::now();
  const std::size_t before = fires().size();
  ASSERT_TRUE(standby.lines().wait_for_line("timer service: lock taken", 15s));
  // The lock lives 3 s and the standby retries every second.
  EXPECT_LT(std::chrono::steady_clock::now() - killed_at, 5500ms);
  ASSERT_TRUE(test::eventually([&] { return fires().size() >= before + 3; }, 20s));

  // Fires are a second apart: over the whole time no more of them than
  // seconds passed (one more for the rounding of the record times at each end).
  std::map<std::time_t, int> per_second;
  for (const Row& row : fires()) ++per_second[seconds_of(row["create_time"].get<std::string>())];
  int total = 0;
  for (const auto& [second, count] : per_second) {
    EXPECT_LE(count, 2) << second;
    total += count;
  }
  const std::time_t span = per_second.rbegin()->first - per_second.begin()->first;
  EXPECT_LE(total, span + 2) << total << " fires in " << span << " s";
}

}  // namespace
}  // namespace vqflow
