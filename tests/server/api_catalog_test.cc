#include <gtest/gtest.h>

#include <cctype>
#include <set>
#include <tuple>

#include "api_fixture.h"
#include "server/api_routes.h"

namespace vqflow {
namespace {

using test::ApiTest;
using test::request;

class ApiCatalogTest : public ApiTest {
 protected:
  void add_audit(const std::string& uuid, const std::string& only_id, int status) {
    services_->db->table("audit").insert(Value{{"workflow_uuid", uuid},
                                               {"only_id", only_id},
                                               {"user_id", "ann"},
                                               {"audit_app", "U"},
                                               {"start_app", "B"},
                                               {"status", status},
                                               {"create_time", "2026-12-09 05:00:00"}});
  }
};

TEST_F(ApiCatalogTest, PlaybooksListsEveryStoredPlaybookWithItsSummary) {
  make_api();
  services_->db->table("workflow")
      .insert(Value{{"uuid", "named"},
                    {"name", "phishing triage"},
                    {"remarks", "r"},
                    {"status", 1},
                    {"start_app", "S"},
                    {"end_app", "E"}});
  HttpResponse r = answer(request("GET", "/api/playbooks"));
  ASSERT_EQ(r.status, 200) << r.body;
  const Value list = body(r);
  ASSERT_EQ(list.size(), 5u) << r.body;
  EXPECT_EQ(list[0], parse_json(R"({"uuid": "wf", "name": null, "remarks": null, "status": 0,
                                    "start_app": null, "end_app": null})"));
  EXPECT_EQ(list[4], parse_json(R"({"uuid": "named", "name": "phishing triage", "remarks": "r",
                                    "status": 1, "start_app": "S", "end_app": "E"})"));
}

TEST_F(ApiCatalogTest, AuditsListsOnlyPendingApprovalsWithThePlaybookName) {
  make_api();
  services_->db->table("workflow").update(Value{{"name", "first"}});
  add_audit("wf", "run-open", 0);
  add_audit("wf", "run-done", 1);
  add_audit("gone", "run-orphan", 0);
  HttpResponse r = answer(request("GET", "/api/audits"));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(body(r), parse_json(R"([
      {"uuid": "wf", "playbook": "first", "only_id": "run-open", "audit_app": "U",
       "approver": "ann", "waiting_since": "2026-12-09 05:00:00"},
      {"uuid": "gone", "playbook": null, "only_id": "run-orphan", "audit_app": "U",
       "approver": "ann", "waiting_since": "2026-12-09 05:00:00"}])"));
}

TEST_F(ApiCatalogTest, StoreRoutesWithoutAStoreAnswer503) {
  make_api({}, false);
  for (const char* path : {"/api/playbooks", "/api/audits"}) {
    EXPECT_EQ(answer(request("GET", path)).status, 503) << path;
  }
  EXPECT_EQ(answer(request("POST", "/api/audits/r1/decision", R"({"audit_app": "U", "status": 1})"))
                .status,
            503);
}

TEST_F(ApiCatalogTest, DecisionRouteIsTheDecisionRequestOfTheWaitingRun) {
  make_api();
  add_audit("wf-1", "run-open", 0);
  HttpResponse r = answer(request("POST", "/api/audits/run-open/decision",
                                  R"({"audit_app": "U", "status": 1, "user": "bob",
                                      "start_app": "B"})"));
  ASSERT_EQ(r.status, 202) << r.body;
  EXPECT_TRUE(body(r).contains("only_id"));
  const auto started = starter_->started();
  ASSERT_EQ(started.size(), 1u);
  const RunRequest& q = started[0].request;
  EXPECT_EQ(started[0].uuid, "wf-1");
  EXPECT_EQ(*q.only_id, "run-open");
  EXPECT_EQ(*q.audit_app, "U");
  EXPECT_EQ(*q.audit_status, 1);
  EXPECT_EQ(*q.user, "bob");
  EXPECT_EQ(*q.start_app, "B");
  ioc_.run();
}

TEST_F(ApiCatalogTest, DecisionRouteRefusalsNameTheFaultAndStartNothing) {
  make_api();
  add_audit("wf", "run-open", 0);
  add_audit("missing-playbook", "run-lost", 0);
  const std::vector<std::tuple<std::string, std::string, int, std::string>> cases = {
      {"run-open", "", 400, "not JSON"},
      {"run-open", "[1]", 400, "JSON object"},
      {"run-open", R"({"status": 1})", 400, "\"audit_app\""},
      {"run-open", R"({"audit_app": "", "status": 1})", 400, "\"audit_app\""},
      {"run-open", R"({"audit_app": "U"})", 400, "\"status\""},
      {"run-open", R"({"audit_app": "U", "status": 1, "uuid": "wf"})", 400, "\"uuid\""},
      {"run-open", R"({"audit_app": "U", "status": 1, "start_app": "a b"})", 400, "\"start_app\""},
      {"nobody", R"({"audit_app": "U", "status": 1})", 404, "never waited"},
      {"run-lost", R"({"audit_app": "U", "status": 1})", 404, "no playbook"},
  };
  for (const auto& [only_id, text, status, fault] : cases) {
    SCOPED_TRACE(only_id + " " + text);
    HttpResponse r = answer(request("POST", "/api/audits/" + only_id + "/decision", text));
    EXPECT_EQ(r.status, status) << r.body;
    EXPECT_NE(body(r)["error"].get<std::string>().find(fault), std::string::npos) << r.body;
  }
  EXPECT_EQ(starter_->count(), 0u);
}

TEST_F(ApiCatalogTest, EveryApiRouteAnswersUnderTheVersionPrefixToo) {
  make_api();
  EXPECT_EQ(answer(request("GET", "/api/v1/health")).status, 200);
  EXPECT_EQ(answer(request("GET", "/api/v1/playbooks")).status, 200);
  EXPECT_EQ(answer(request("GET", "/api/v1/runs/r1/logs")).status, 200);
  EXPECT_EQ(answer(request("POST", "/api/v1/runs", R"({"uuid": "wf"})")).status, 202);
  EXPECT_EQ(answer(request("POST", "/api/v1/health")).status, 405);
  EXPECT_FALSE(api_->refuse_upgrade(request("GET", "/api/v1/ws")));
  // Only /api/... paths are versioned.
  EXPECT_EQ(answer(request("POST", "/api/v1/rpc", "{}")).status, 404);
  EXPECT_EQ(answer(request("GET", "/api/v2/health")).status, 404);
  EXPECT_EQ(answer(request("GET", "/api/v1/v1/health")).status, 404);
  ioc_.run();
}

TEST_F(ApiCatalogTest, TokenGuardsTheNewRoutesAsEveryOther) {
  ApiOptions options;
  options.token = "s3cret";
  make_api(options);
  for (const char* path :
       {"/api/playbooks", "/api/audits", "/api/openapi.json", "/api/v1/playbooks"}) {
    EXPECT_EQ(answer(request("GET", path)).status, 401) << path;
    EXPECT_EQ(answer(request("GET", path, "", {{"authorization", "Bearer s3cret"}})).status, 200)
        << path;
  }
}

TEST_F(ApiCatalogTest, ApiDocumentNamesExactlyTheRoutesOfTheRoutingTable) {
  make_api();
  HttpResponse r = answer(request("GET", "/api/openapi.json"));
  ASSERT_EQ(r.status, 200);
  const Value document = body(r);
  EXPECT_EQ(document["openapi"], "3.1.0");
  std::set<std::pair<std::string, std::string>> documented;
  for (const auto& path : document["paths"].items()) {
    for (const auto& operation : path.value().items()) {
      std::string method = operation.key();
      for (char& c : method) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      documented.emplace(method, path.key());
      EXPECT_TRUE(operation.value().contains("responses")) << method << " " << path.key();
    }
  }
  std::set<std::pair<std::string, std::string>> served;
  for (const Api::Route& route : Api::routes()) served.emplace(route.method, route.path);
  EXPECT_EQ(documented, served);
}

TEST(ApiRoutes, SegmentsFitPatternsAndQueriesDecode) {
  EXPECT_EQ(route_segments("/api/v1/runs/x?y=1"),
            (std::vector<std::string_view>{"api", "runs", "x"}));
  EXPECT_EQ(route_segments("//rpc/"), (std::vector<std::string_view>{"rpc"}));
  RouteFit fit = fit_route("/api/runs/{only_id}/logs", route_segments("/api/runs/a%20b/logs"));
  EXPECT_TRUE(fit.fits);
  EXPECT_EQ(fit.params, (std::vector<std::string>{"a b"}));
  EXPECT_FALSE(fit_route("/api/runs/{only_id}", route_segments("/api/runs/a/logs")).fits);
  EXPECT_FALSE(fit_route("/api/runs/{only_id}", route_segments("/api/audits/a")).fits);
  fit = fit_route("/api/runs/{only_id}", route_segments("/api/runs/%zz"));
  EXPECT_TRUE(fit.fits && fit.malformed);
  const auto query =
      query_parameters("/api/runs?playbook=p%201&state=done&limit=5&x&state=waiting+x&bad=%z");
  EXPECT_EQ(query, (std::map<std::string, std::string>{
                       {"playbook", "p 1"}, {"state", "waiting x"}, {"limit", "5"}, {"x", ""}}));
}

}  // namespace
}  // namespace vqflow
