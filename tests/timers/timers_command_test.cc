#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

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

}  // namespace
