#include "base/process_log.h"

#include <gtest/gtest.h>

#include "base/errors.h"

namespace vqflow {
namespace {

TEST(ProcessLogTest, JsonLinesEscapeTheMessage) {
  const auto at = std::chrono::system_clock::time_point(std::chrono::milliseconds(1700000000123));
  struct Case {
    std::string message;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"plain", R"("message": "plain")"},
      {"say \"hi\" \\ bye", R"("message": "say \"hi\" \\ bye")"},
      {"two\nlines\tand\r", R"("message": "two\nlines\tand\r")"},
      {std::string("bell\x07 nul") + '\0', R"("message": "bell\u0007 nul\u0000")"},
      {"任务调度 ✓", R"("message": "任务调度 ✓")"},
      {"bad \xff byte", "\"message\": \"bad \xEF\xBF\xBD byte\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(json_log_line(at, "info", c.message),
              R"({"time": "2023-11-14T22:13:20.123Z", "level": "info", )" + c.expected + "}")
        << c.message;
  }
}

TEST(ProcessLogTest, FormatNamesAreTextOrJson) {
  EXPECT_EQ(parse_log_format("text"), LogFormat::text);
  EXPECT_EQ(parse_log_format("json"), LogFormat::json);
  EXPECT_THROW(parse_log_format("xml"), ConfigError);
}

}  // namespace
}  // namespace vqflow
