#include "server/run_request.h"

#include <gtest/gtest.h>

namespace vqflow {
namespace {

TEST(RunRequestOnInterrupt, FailOrResumeIsKeptAnythingElseIsRefused) {
  const auto parse = [](Value on_interrupt) {
    Value body = {{"uuid", "p1"}};
    body["on_interrupt"] = std::move(on_interrupt);
    return parse_run_request(body);
  };
  EXPECT_EQ(parse("resume").request.on_interrupt, "resume");
  EXPECT_EQ(parse("fail").request.on_interrupt, "fail");
  EXPECT_FALSE(parse(Value()).request.on_interrupt);
  struct Case {
    Value value;
    const char* message;
  };
  const std::vector<Case> refused = {
      {"later", "\"on_interrupt\" \"later\": expected \"fail\" or \"resume\""},
      {1, "\"on_interrupt\" must be \"fail\" or \"resume\""},
  };
  for (const Case& c : refused) {
    try {
      parse(c.value);
      ADD_FAILURE() << json_text(c.value);
    } catch (const RequestError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace vqflow
