#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include "support/cli_runner.h"
#include "support/test_support.h"

namespace {

using ::testing::HasSubstr;

struct Outcome {
  int exit_code;
  std::string output;  // standard output and standard error
};

// Runs `vqflow timers next ...` (arguments already quoted for the shell).
Outcome timers_next(const std::string& arguments) {
  std::string command = std::string(VQFLOW_BINARY) + " timers next " + arguments + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  std::string output;
  char buffer[4096];
  while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(TimersCommandTest, PrintsTheNextFireTimesInTheGivenZone) {
  auto outcome =
      timers_next("'30 2 * * *' --count 3 --from '2024-03-09 12:00:00' --tz America/New_York");
  EXPECT_EQ(outcome.exit_code, 0) << outcome.output;
  EXPECT_EQ(outcome.output,
            "2024-03-10 03:00:00 Sun\n"  // the clocks skip 02:30 that night
            "2024-03-11 02:30:00 Mon\n"
            "2024-03-12 02:30:00 Tue\n");
}

TEST(TimersCommandTest, ExplainsARefusedText) {
  auto six = timers_next("'0 0 * * * *'");
  EXPECT_NE(six.exit_code, 0);
  EXPECT_THAT(six.output, HasSubstr("Wrong number of fields; got 6, expected 5"));
  auto hour = timers_next("'0 24 * * *'");
  EXPECT_NE(hour.exit_code, 0);
  EXPECT_THAT(hour.output, HasSubstr("hour \"24\": 24 is out of range 0-23"));
  auto from = timers_next("'* * * * *' --from yesterday");
  EXPECT_NE(from.exit_code, 0);
  EXPECT_THAT(from.output, HasSubstr("--from: \"yesterday\" is not a date-time"));
}

// add, list, pause, resume and remove on the stores, in this process.
TEST(TimersCommandTest, ManagesStoredTimersHere) {
  vqflow::test::TempDir dir;
  auto timers = [&dir](const std::string& args) {
    auto outcome = vqflow::test::run_vqflow(dir, "timers " + args);
    EXPECT_EQ(outcome.exit_code, 0) << args << ": " << outcome.err;
    return outcome.out;
  };
  EXPECT_EQ(timers("add t1 pb-1 --type interval --interval-type minutes --time 5"),
            "timer t1 added (paused: vqflow timers resume t1 starts it)\n");
  timers("add t2 pb-2 --type cron --time '0 3 * * *' --resume");
  const std::string paused = timers("list");
  EXPECT_THAT(paused, HasSubstr("ID  PLAYBOOK  NEXT FIRE"));
  EXPECT_THAT(paused, ::testing::ContainsRegex("t1  pb-1      -  +interval\\[0:05:00\\]"));
  EXPECT_THAT(paused, ::testing::ContainsRegex("t2  pb-2      [0-9-]+ 03:00:00  cron"));

  EXPECT_EQ(timers("resume t1"), "timer t1 resumed\n");
  auto jobs = vqflow::parse_json(timers("list --json"));
  ASSERT_EQ(jobs.size(), 2u) << jobs.dump();
  EXPECT_EQ(jobs[0]["id"], "t1");
  EXPECT_EQ(jobs[0]["uuid"], "pb-1");
  EXPECT_TRUE(jobs[0]["next_run_time"].is_string()) << jobs.dump();

  EXPECT_EQ(timers("pause t2"), "timer t2 paused\n");
  EXPECT_TRUE(vqflow::parse_json(timers("list --json"))[1]["next_run_time"].is_null());
  EXPECT_EQ(timers("remove t1"), "timer t1 removed\n");
  jobs = vqflow::parse_json(timers("list --json"));
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0]["id"], "t2");
}

TEST(TimersCommandTest, RefusedChangesSayWhy) {
  vqflow::test::TempDir dir;
  struct Case {
    std::string args;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"add t1 pb --type weekly --time 1", "type 'weekly' is not one of date, interval, cron"},
      {"add t1 pb --type interval --time 1", "interval_type is missing"},
      {"pause nope", "no job with id \"nope\""},
      {"list --server ftp://x", "give the server as http://host:port"},
      {"list --server http://127.0.0.1:1", "server 127.0.0.1:1:"},
  };
  for (const auto& c : cases) {
    auto outcome = vqflow::test::run_vqflow(dir, "timers " + c.args);
    EXPECT_NE(outcome.exit_code, 0) << c.args;
    EXPECT_THAT(outcome.err, HasSubstr(c.says)) << c.args;
  }
}

}  // namespace
