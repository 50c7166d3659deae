#include "rpc/json_rpc.h"

#include <gtest/gtest.h>

#include "value/value.h"

namespace vqflow {
namespace {

RpcRegistry test_registry() {
  RpcRegistry registry;
  add_ping_method(registry);
  registry.add("echo", [](const Value& params) -> Value { return params; });
  registry.add("needs_name", [](const Value& params) -> Value {
    if (!params.contains("name")) throw RpcError(k_rpc_invalid_params, "missing \"name\"");
    return params["name"];
  });
  registry.add("fails", [](const Value&) -> Value { throw StoreError("redis GET x: refused"); });
  registry.add("throws_int", [](const Value&) -> Value { throw 42; });
  return registry;
}

Value call(const std::string& text) {
  auto registry = test_registry();
  std::optional<std::string> answer = handle_json_rpc(registry, text);
  if (!answer) return nullptr;
  return parse_json(*answer);
}

struct ErrorCase {
  const char* request;
  int code;
  const char* message_part;
  Value id;
};

TEST(JsonRpc, ErrorsCarryTheirCodeMessageAndId) {
  const std::vector<ErrorCase> cases = {
      {"{", k_rpc_parse_error, "parse error", nullptr},
      {"", k_rpc_parse_error, "parse error", nullptr},
      {"42", k_rpc_invalid_request, "not an object", nullptr},
      {R"({"jsonrpc": "1.0", "method": "ping", "id": 1})", k_rpc_invalid_request, "jsonrpc", 1},
      {R"({"method": "ping", "id": 1})", k_rpc_invalid_request, "jsonrpc", 1},
      {R"({"jsonrpc": "2.0", "method": 5, "id": "a"})", k_rpc_invalid_request, "method", "a"},
      {R"({"jsonrpc": "2.0", "method": "ping", "id": {"x": 1}})", k_rpc_invalid_request, "id",
       nullptr},
      {R"({"jsonrpc": "2.0", "method": "ping", "params": 3, "id": 1})", k_rpc_invalid_request,
       "params", 1},
      {R"({"jsonrpc": "2.0", "method": "nope", "id": 7})", k_rpc_method_not_found, "nope", 7},
      {R"({"jsonrpc": "2.0", "method": "echo", "params": [1], "id": 8})", k_rpc_invalid_params,
       "by name", 8},
      {R"({"jsonrpc": "2.0", "method": "needs_name", "id": 9})", k_rpc_invalid_params,
       "missing \"name\"", 9},
      {R"({"jsonrpc": "2.0", "method": "fails", "id": 10})", k_rpc_server_error,
       "redis GET x: refused", 10},
      {R"({"jsonrpc": "2.0", "method": "throws_int", "id": 11})", k_rpc_server_error,
       "unknown error", 11},
      {"[]", k_rpc_invalid_request, "empty batch", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request);
    Value answer = call(c.request);
    ASSERT_TRUE(answer.is_object()) << answer.dump();
    EXPECT_EQ(answer["jsonrpc"], "2.0");
    EXPECT_FALSE(answer.contains("result"));
    EXPECT_EQ(answer["error"]["code"], c.code) << answer.dump();
    EXPECT_NE(answer["error"]["message"].get<std::string>().find(c.message_part), std::string::npos)
        << answer.dump();
    EXPECT_EQ(answer["id"], c.id);
  }
}

TEST(JsonRpc, CallsAnswerResultWithTheSameId) {
  EXPECT_EQ(call(R"({"jsonrpc": "2.0", "method": "ping", "id": 1})"),
            parse_json(R"({"jsonrpc": "2.0", "result": "pong", "id": 1})"));
  Value echoed =
      call(R"({"jsonrpc": "2.0", "method": "echo", "params": {"b": 1, "a": [2]}, "id": "x"})");
  EXPECT_EQ(echoed["result"], parse_json(R"({"b": 1, "a": [2]})"));
  EXPECT_EQ(echoed["id"], "x");
  // Absent params reach the method as an empty object.
  EXPECT_EQ(call(R"({"jsonrpc": "2.0", "method": "echo", "id": null})")["result"], Value::object());
}

TEST(JsonRpc, NotificationsGetNoAnswerEvenWhenTheyFail) {
  EXPECT_TRUE(call(R"({"jsonrpc": "2.0", "method": "ping"})").is_null());
  EXPECT_TRUE(call(R"({"jsonrpc": "2.0", "method": "nope"})").is_null());
  EXPECT_TRUE(call(R"({"jsonrpc": "2.0", "method": "fails"})").is_null());
  EXPECT_TRUE(call(R"([{"jsonrpc": "2.0", "method": "ping"}])").is_null());
}

TEST(JsonRpc, BatchAnswersEachCallInOrderAndSkipsNotifications) {
  Value answer = call(R"([
    {"jsonrpc": "2.0", "method": "ping", "id": 1},
    {"jsonrpc": "2.0", "method": "ping"},
    {"jsonrpc": "2.0", "method": "nope", "id": 2},
    7])");
  ASSERT_TRUE(answer.is_array()) << answer.dump();
  ASSERT_EQ(answer.size(), 3u);
  EXPECT_EQ(answer[0]["result"], "pong");
  EXPECT_EQ(answer[1]["error"]["code"], k_rpc_method_not_found);
  EXPECT_EQ(answer[2]["error"]["code"], k_rpc_invalid_request);
}

TEST(JsonRpc, OversizedBatchAndDeepNestingAreRefusedNotRecursed) {
  std::string batch = "[";
  for (std::size_t i = 0; i <= k_rpc_max_batch; ++i) {
    batch += std::string(i ? "," : "") + R"({"jsonrpc": "2.0", "method": "ping", "id": 1})";
  }
  batch += "]";
  EXPECT_EQ(call(batch)["error"]["code"], k_rpc_invalid_request);
  std::string deep(100000, '[');
  EXPECT_EQ(call(deep)["error"]["code"], k_rpc_parse_error);
}

}  // namespace
}  // namespace vqflow
