#include <gtest/gtest.h>

#include "api_fixture.h"

namespace vqflow {
namespace {

using test::ApiTest;
using test::request;

class ApiRunsTest : public ApiTest {
 protected:
  void add_run(const std::string& only_id, const std::string& uuid, const std::string& state,
               const std::string& started) {
    services_->db->table("runs").insert(Value{{"only_id", only_id},
                                              {"uuid", uuid},
                                              {"state", state},
                                              {"failed_steps", 0},
                                              {"started", started},
                                              {"update_time", started}});
  }
};

TEST_F(ApiRunsTest, RunsListFiltersByPlaybookStateAndLimit) {
  make_api();
  add_run("r-old", "wf", "done", "2026-12-09 05:00:00");
  add_run("r-mid", "wf-1", "running", "2026-12-09 05:01:00");
  add_run("r-new", "wf", "running", "2026-12-09 05:02:00");
  auto only_ids = [this](const std::string& target) {
    HttpResponse r = answer(request("GET", target));
    EXPECT_EQ(r.status, 200) << target << ": " << r.body;
    std::vector<std::string> out;
    for (const Value& run : body(r)) out.push_back(run["only_id"].get<std::string>());
    return out;
  };
  EXPECT_EQ(only_ids("/api/runs"), (std::vector<std::string>{"r-new", "r-mid", "r-old"}));
  EXPECT_EQ(only_ids("/api/runs?playbook=wf"), (std::vector<std::string>{"r-new", "r-old"}));
  EXPECT_EQ(only_ids("/api/v1/runs?state=running&limit=1"), (std::vector<std::string>{"r-new"}));
  EXPECT_EQ(only_ids("/api/runs?playbook=wf&state=done"), (std::vector<std::string>{"r-old"}));
  const Value first = body(answer(request("GET", "/api/runs?limit=1")))[0];
  for (const char* field :
       {"only_id", "uuid", "playbook", "state", "started", "ended", "failed_steps"}) {
    EXPECT_TRUE(first.contains(field)) << field << " in " << json_text(first);
  }
  for (const char* bad : {"0", "1001", "x", "-3", ""}) {
    HttpResponse r = answer(request("GET", std::string("/api/runs?limit=") + bad));
    EXPECT_EQ(r.status, 400) << bad;
    EXPECT_NE(r.body.find("limit"), std::string::npos) << r.body;
  }
}

TEST_F(ApiRunsTest, OneRunShowsItsStateAndNodesOrIs404) {
  make_api();
  add_run("r-1", "wf", "done", "2026-12-09 05:00:00");
  services_->db->table("logs").insert(Value{{"only_id", "r-1"},
                                            {"uuid", "wf"},
                                            {"app_uuid", "A"},
                                            {"app_name", "shout"},
                                            {"result", "HELLO"},
                                            {"status", 0},
                                            {"create_time", "2026-12-09 05:00:01"}});
  HttpResponse r = answer(request("GET", "/api/runs/r-1"));
  ASSERT_EQ(r.status, 200) << r.body;
  const Value run = body(r);
  EXPECT_EQ(run["only_id"], "r-1");
  EXPECT_EQ(run["state"], "done");
  ASSERT_EQ(run["nodes"].size(), 1u) << r.body;
  EXPECT_EQ(run["nodes"][0]["app_name"], "shout");
  EXPECT_EQ(run["nodes"][0]["result"], "HELLO");
  HttpResponse missing = answer(request("GET", "/api/runs/nope"));
  EXPECT_EQ(missing.status, 404);
  EXPECT_TRUE(body(missing).contains("error"));
}

TEST_F(ApiRunsTest, CancelMarksARunningRunAndRefusesOthers) {
  make_api();
  add_run("r-run", "wf", "running", "2026-12-09 05:00:00");
  add_run("r-done", "wf", "done", "2026-12-09 05:00:00");
  HttpResponse r = answer(request("POST", "/api/runs/r-run/cancel", R"({"user": "ann"})"));
  ASSERT_EQ(r.status, 202) << r.body;
  EXPECT_EQ(body(r), parse_json(R"({"only_id": "r-run", "state": "cancelling"})"));
  auto row = services_->db->table("runs").where("only_id", "r-run").first();
  ASSERT_TRUE(row);
  EXPECT_EQ((*row)["cancel_by"], "ann");
  EXPECT_EQ(answer(request("POST", "/api/runs/r-done/cancel", "{}")).status, 409);
  EXPECT_EQ(answer(request("POST", "/api/runs/nope/cancel")).status, 404);
  EXPECT_EQ(answer(request("POST", "/api/runs/r-run/cancel", R"({"who": 1})")).status, 400);
  EXPECT_EQ(answer(request("POST", "/api/runs/r-run/cancel", R"({"user": 5})")).status, 400);
  EXPECT_EQ(answer(request("GET", "/api/runs/r-run/cancel")).status, 405);
}

}  // namespace
}  // namespace vqflow
