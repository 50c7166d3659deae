#include "server/api.h"

#include <gtest/gtest.h>

#include "api_fixture.h"
#include "fake_run_starter.h"
#include "rpc/json_rpc.h"
#include "support/test_support.h"
#include "value/value.h"

namespace vqflow {
namespace {

using test::ApiTest;
using test::request;

TEST_F(ApiTest, PostRunStartsOneRunWithEveryArgumentByName) {
  make_api();
  HttpResponse r = answer(request("POST", "/api/runs", R"({
      "uuid": "wf-1", "controller_data": {"n1": {"node_name": "A"}}, "data": {"k": [1]},
      "app_uuid": "n1", "audit_status": 1, "audit_app": "a1", "only_id": "abcdefghij",
      "user": "ann", "start_app": "n2"})"));
  ASSERT_EQ(r.status, 202) << r.body;
  EXPECT_EQ(body(r), parse_json(R"({"only_id": "fake000000"})"));
  auto started = starter_->started();
  ASSERT_EQ(started.size(), 1u);
  const RunRequest& q = started[0].request;
  EXPECT_EQ(started[0].uuid, "wf-1");
  EXPECT_FALSE(started[0].has_connection);
  EXPECT_EQ(*q.controller_data, parse_json(R"({"n1": {"node_name": "A"}})"));
  EXPECT_EQ(*q.data, parse_json(R"({"k": [1]})"));
  EXPECT_EQ(*q.app_uuid, "n1");
  EXPECT_EQ(*q.audit_status, 1);
  EXPECT_EQ(*q.audit_app, "a1");
  EXPECT_EQ(*q.only_id, "abcdefghij");
  EXPECT_EQ(*q.user, "ann");
  EXPECT_EQ(*q.start_app, "n2");
  EXPECT_EQ(api_->tracker()->in_progress(), 1u);
  ioc_.run();  // the fake run closes
  EXPECT_EQ(api_->tracker()->in_progress(), 0u);
}

TEST_F(ApiTest, PostRunWithOnlyTheUuidLeavesEverythingElseAbsent) {
  make_api();
  ASSERT_EQ(answer(request("POST", "/api/runs", R"({"uuid": "wf-1", "data": null})")).status, 202);
  const auto started = starter_->started();
  const RunRequest& q = started.at(0).request;
  EXPECT_FALSE(q.controller_data || q.data || q.app_uuid || q.audit_status || q.audit_app ||
               q.only_id || q.user || q.start_app);
}

TEST_F(ApiTest, MalformedRunBodiesAnswer400NamingTheFieldAndStartNothing) {
  make_api();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "not JSON"},
      {"[1]", "JSON object"},
      {R"({})", "\"uuid\""},
      {R"({"uuid": 5})", "\"uuid\""},
      {R"({"uuid": ""})", "\"uuid\""},
      {R"({"uuid": "a&&b"})", "\"uuid\""},
      {R"({"uuid": "wf", "extra": 1})", "\"extra\""},
      {R"({"uuid": "wf", "controller_data": 3})", "\"controller_data\""},
      {R"({"uuid": "wf", "controller_data": "[1, 2]"})", "\"controller_data\""},
      {R"({"uuid": "wf", "controller_data": "{not json"})", "\"controller_data\""},
      {R"({"uuid": "wf", "app_uuid": ["x"]})", "\"app_uuid\""},
      {R"({"uuid": "wf", "audit_status": true})", "\"audit_status\""},
      {R"({"uuid": "wf", "user": {"name": "x"}})", "\"user\""},
      {R"({"uuid": "wf", "only_id": "has space"})", "\"only_id\""},
      {R"({"uuid": "wf", "audit_app": "a1", "audit_status": "2"})", "\"only_id\""},
      {std::string(2000, '[') + std::string(2000, ']'), "not JSON"},
  };
  for (const auto& [text, field] : cases) {
    SCOPED_TRACE(text.substr(0, 80));
    HttpResponse r = answer(request("POST", "/api/runs", text));
    EXPECT_EQ(r.status, 400) << r.body;
    EXPECT_NE(body(r)["error"].get<std::string>().find(field), std::string::npos) << r.body;
  }
  EXPECT_EQ(starter_->count(), 0u);
  EXPECT_EQ(api_->tracker()->in_progress(), 0u);
}

TEST_F(ApiTest, EmptyAuditAppCountsAsAbsentAndRejectionNeedsNoStartApp) {
  make_api();
  EXPECT_EQ(answer(request("POST", "/api/runs", R"({"uuid": "wf", "audit_app": ""})")).status, 202);
  EXPECT_EQ(answer(request("POST", "/api/runs",
                           R"({"uuid": "wf", "audit_app": "a1", "audit_status": "2",
                               "only_id": "abcdefghij", "user": "bo"})"))
                .status,
            202);
}

TEST_F(ApiTest, EngineRefusalOfNodeSettingsIsABadRequestAndNotCounted) {
  make_api();
  starter_->throw_config_error = true;
  HttpResponse r = answer(request("POST", "/api/runs", R"({"uuid": "wf"})"));
  EXPECT_EQ(r.status, 400);
  EXPECT_NE(r.body.find("controller_data"), std::string::npos);
  EXPECT_EQ(api_->tracker()->in_progress(), 0u);
}

TEST_F(ApiTest, UnknownOrDisabledPlaybooksAreRefusedBeforeAnyRunStarts) {
  make_api();
  services_->db->table("workflow").insert(Value{{"uuid", "off"}, {"status", 1}});
  HttpResponse missing = answer(request("POST", "/api/runs", R"({"uuid": "nope"})"));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(body(missing)["error"], "no playbook with uuid nope");
  HttpResponse disabled = answer(request("POST", "/api/runs", R"({"uuid": "off"})"));
  EXPECT_EQ(disabled.status, 409);
  EXPECT_NE(disabled.body.find("disabled"), std::string::npos);

  auto socket = std::make_shared<test::RecordingConnection>();
  api_->ws_message(R"({"method": "run", "data": {"uuid": "nope"}})", socket);
  ASSERT_EQ(socket->messages.size(), 1u);
  Value reply = parse_json(socket->messages[0]);
  EXPECT_EQ(reply["method"], "error");
  EXPECT_EQ(reply["data"]["status"], 404);
  EXPECT_EQ(starter_->count(), 0u);
  EXPECT_EQ(api_->tracker()->in_progress(), 0u);
}

TEST_F(ApiTest, TokenIsRequiredAndComparedExactly) {
  ApiOptions options;
  options.token = "t0ken";
  make_api(options);
  const std::string run = R"({"uuid": "wf"})";
  const std::vector<std::pair<std::string, int>> cases = {
      {"", 401},
      {"Bearer", 401},
      {"Bearer t0ke", 401},
      {"Bearer t0kenX", 401},
      {"Basic t0ken", 401},
      {"Bearer T0KEN", 401},
      {"Bearer t0ken", 202},
      {"bearer t0ken", 202},
  };
  for (const auto& [authorization, status] : cases) {
    SCOPED_TRACE(authorization);
    std::map<std::string, std::string> headers;
    if (!authorization.empty()) headers["authorization"] = authorization;
    HttpResponse r = answer(request("POST", "/api/runs", run, headers));
    EXPECT_EQ(r.status, status) << r.body;
  }
  EXPECT_EQ(starter_->count(), 2u);  // only the requests with the right token
  // With a token, any Host is fine: the token is what protects the server.
  HttpResponse r = answer(request(
      "GET", "/api/health", "", {{"host", "soc.example.com"}, {"authorization", "Bearer t0ken"}}));
  EXPECT_EQ(r.status, 200) << r.body;
}

TEST_F(ApiTest, OriginsAreCheckedAndPreflightsAnswered) {
  ApiOptions options;
  options.allowed_origins = {"https://soc.example.com"};
  make_api(options);
  HttpResponse refused = answer(
      request("POST", "/api/runs", R"({"uuid": "wf"})", {{"origin", "https://evil.example"}}));
  EXPECT_EQ(refused.status, 403);
  EXPECT_EQ(starter_->count(), 0u);
  HttpResponse ok = answer(
      request("POST", "/api/runs", R"({"uuid": "wf"})", {{"origin", "https://soc.example.com"}}));
  EXPECT_EQ(ok.status, 202);
  EXPECT_NE(std::find(ok.headers.begin(), ok.headers.end(),
                      std::pair<std::string, std::string>("Access-Control-Allow-Origin",
                                                          "https://soc.example.com")),
            ok.headers.end());
  HttpResponse preflight =
      answer(request("OPTIONS", "/api/runs", "", {{"origin", "https://soc.example.com"}}));
  EXPECT_EQ(preflight.status, 204);
  EXPECT_EQ(answer(request("OPTIONS", "/api/runs", "", {{"origin", "null"}})).status, 403);
}

TEST_F(ApiTest, WithoutTokenOnlyLocalHostNamesAreServed) {
  make_api();
  EXPECT_EQ(answer(request("GET", "/api/health", "", {{"host", "localhost:8080"}})).status, 200);
  EXPECT_EQ(answer(request("POST", "/api/runs", R"({"uuid": "wf"})",
                           {{"host", "rebound.evil.example:8080"}}))
                .status,
            403);
  EXPECT_EQ(starter_->count(), 0u);
}

TEST_F(ApiTest, AnnouncedBodiesOverTheCapAre413BeforeReading) {
  ApiOptions options;
  options.body_limit = 100;
  make_api(options);
  auto refusal = api_->admit(request("POST", "/api/runs"), 101);
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->status, 413);
  EXPECT_TRUE(refusal->close);
  EXPECT_FALSE(api_->admit(request("POST", "/api/runs"), 100));
}

TEST_F(ApiTest, RoutesAndMethods) {
  make_api();
  EXPECT_EQ(answer(request("DELETE", "/api/runs")).status, 405);
  EXPECT_EQ(answer(request("POST", "/api/health")).status, 405);
  EXPECT_EQ(answer(request("GET", "/rpc")).status, 405);
  EXPECT_EQ(answer(request("GET", "/nope")).status, 404);
  EXPECT_EQ(answer(request("GET", "/api/runs/x/y")).status, 404);
  EXPECT_EQ(answer(request("GET", "/api/ws")).status, 426);
  EXPECT_EQ(answer(request("GET", "/api/runs/%zz/logs")).status, 400);
  EXPECT_TRUE(api_->refuse_upgrade(request("GET", "/elsewhere")));
  EXPECT_FALSE(api_->refuse_upgrade(request("GET", "/api/ws?x=1")));
}

TEST_F(ApiTest, LogsAnswerTheRunsStoredRecordsInOrder) {
  make_api();
  auto logs = services_->db->table("logs");
  for (int i = 0; i < 3; ++i) {
    Row row = Value::object();
    row["only_id"] = i == 1 ? "otherrun01" : "therun0001";
    row["uuid"] = "wf";
    row["app_uuid"] = "n" + std::to_string(i);
    row["app_name"] = "开始";
    row["result"] = "r" + std::to_string(i);
    row["status"] = 0;
    row["html"] = "<span>r</span>";
    row["args"] = "";
    row["create_time"] = "2024-01-01 00:00:00";
    logs.insert(row);
  }
  HttpResponse r = answer(request("GET", "/api/runs/therun0001/logs?x=1"));
  ASSERT_EQ(r.status, 200) << r.body;
  Value records = body(r);
  ASSERT_EQ(records.size(), 2u) << r.body;
  EXPECT_EQ(records[0]["app_uuid"], "n0");
  EXPECT_EQ(records[1]["app_uuid"], "n2");
  EXPECT_FALSE(records[0].contains("id"));
  EXPECT_EQ(records[0]["app_name"], "开始");
  EXPECT_EQ(body(answer(request("GET", "/api/runs/unknown/logs"))), Value::array());
}

TEST_F(ApiTest, HealthReportsStoresAndRunsInProgress) {
  make_api();
  services_->kv->incr("exec_sum");
  services_->kv->incr("exec_sum");
  HttpResponse r = answer(request("GET", "/api/health"));
  ASSERT_EQ(r.status, 200) << r.body;
  Value h = body(r);
  EXPECT_EQ(h["status"], "ok");
  EXPECT_EQ(h["db"]["ok"], true);
  EXPECT_EQ(h["kv"]["ok"], true);
  EXPECT_EQ(h["exec_sum"], 2);
  EXPECT_EQ(h["runs_here"], 0);
}

TEST_F(ApiTest, HealthWithoutStoresIsUnavailable) {
  make_api({}, false);
  HttpResponse r = answer(request("GET", "/api/health"));
  EXPECT_EQ(r.status, 503);
  EXPECT_EQ(body(r)["status"], "failing");
}

TEST_F(ApiTest, DrainingRefusesRequestsAndRuns) {
  make_api();
  api_->set_draining();
  HttpResponse r = answer(request("POST", "/api/runs", R"({"uuid": "wf"})"));
  EXPECT_EQ(r.status, 503);
  EXPECT_TRUE(r.close);
  auto conn = std::make_shared<test::RecordingConnection>();
  api_->ws_message(R"({"method": "run", "data": {"uuid": "wf"}})", conn);
  ASSERT_EQ(conn->messages.size(), 1u);
  EXPECT_EQ(parse_json(conn->messages[0])["method"], "error");
  EXPECT_EQ(starter_->count(), 0u);
}

TEST_F(ApiTest, WebSocketMessagesStartRunsOnTheirConnectionAndAckFirst) {
  make_api();
  auto conn = std::make_shared<test::RecordingConnection>();
  api_->ws_message(R"({"method": "run", "data": {"uuid": "wf"}})", conn);
  ioc_.run();
  ASSERT_EQ(conn->messages.size(), 4u);
  EXPECT_EQ(conn->messages[0], R"({"method": "run_started", "data": {"only_id": "fake000000"}})");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(conn->messages[i + 1], test::FakeRunStarter::message("fake000000", i));
  }
  EXPECT_TRUE(starter_->started().at(0).has_connection);
  for (const char* bad : {"nope", R"({"method": "stop"})", R"({"method": "run"})",
                          R"({"method": "run", "data": {"uuid": 1}})", "[]"}) {
    conn->messages.clear();
    api_->ws_message(bad, conn);
    ASSERT_EQ(conn->messages.size(), 1u) << bad;
    EXPECT_EQ(parse_json(conn->messages[0])["method"], "error") << bad;
  }
  EXPECT_EQ(starter_->count(), 1u);
}

// Over the bound, HTTP and WebSocket requests alike are refused without
// starting anything, and room comes back as runs close (resumes count too).
TEST_F(ApiTest, RunsBeyondTheBoundAre503WithRetryAfterUntilOneCloses) {
  ApiOptions options;
  options.max_runs = 2;
  make_api(options);
  starter_->held_ = true;
  const std::string run = R"({"uuid": "wf"})";
  const std::string resume = R"({"uuid": "wf", "audit_app": "U", "audit_status": "2",
                                 "only_id": "abcdefghij"})";
  ASSERT_EQ(answer(request("POST", "/api/runs", run)).status, 202);
  ASSERT_EQ(answer(request("POST", "/api/runs", resume)).status, 202);
  for (const std::string& body_text : {run, resume}) {
    HttpResponse full = answer(request("POST", "/api/runs", body_text));
    EXPECT_EQ(full.status, 503) << body_text;
    EXPECT_EQ(body(full)["error"], "too many runs in progress here (at most 2); retry later");
    EXPECT_EQ(full.headers, (decltype(full.headers){{"Retry-After", "1"}}));
    EXPECT_FALSE(full.close);  // the client may keep its connection and retry
  }
  auto conn = std::make_shared<test::RecordingConnection>();
  api_->ws_message(R"({"method": "run", "data": {"uuid": "wf"}})", conn);
  ASSERT_EQ(conn->messages.size(), 1u);
  EXPECT_EQ(parse_json(conn->messages[0])["method"], "error") << conn->messages[0];
  EXPECT_EQ(starter_->count(), 2u);
  EXPECT_EQ(api_->tracker()->in_progress(), 2u);

  starter_->release();
  ioc_.run();  // both runs close
  EXPECT_EQ(api_->tracker()->in_progress(), 0u);
  EXPECT_EQ(answer(request("POST", "/api/runs", run)).status, 202);
  EXPECT_EQ(starter_->count(), 3u);
}

TEST_F(ApiTest, RpcNotificationAnswers204) {
  make_api();
  EXPECT_EQ(answer(request("POST", "/rpc", R"({"jsonrpc": "2.0", "method": "ping"})")).status, 204);
  HttpResponse r =
      answer(request("POST", "/rpc", R"({"jsonrpc": "2.0", "method": "ping", "id": 1})"));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(body(r)["result"], "pong");
}

}  // namespace
}  // namespace vqflow
