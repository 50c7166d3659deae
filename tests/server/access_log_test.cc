#include "server/access_log.h"

#include <gtest/gtest.h>

namespace vqflow {
namespace {

TEST(AccessLogTest, LineKeepsThePathAndDropsQueryAndHeaders) {
  struct Case {
    std::string method;
    std::string target;
    int status;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"GET", "/api/health", 200, "http 127.0.0.1:5000 \"GET /api/health\" 200 12.5 ms"},
      {"GET", "/api/runs/abc/logs?token=s3cret&x=1", 200,
       "http 127.0.0.1:5000 \"GET /api/runs/abc/logs\" 200 12.5 ms"},
      {"POST", "/rpc", 401, "http 127.0.0.1:5000 \"POST /rpc\" 401 12.5 ms"},
      {"GET", "/a\"b\nc", 404, "http 127.0.0.1:5000 \"GET /a\\x22b\\x0ac\" 404 12.5 ms"},
  };
  for (const auto& c : cases) {
    HttpRequest request;
    request.method = c.method;
    request.target = c.target;
    request.headers["authorization"] = "Bearer s3cret";
    EXPECT_EQ(
        access_log_line("127.0.0.1:5000", request, c.status, std::chrono::microseconds(12500)),
        c.expected);
  }
}

}  // namespace
}  // namespace vqflow
