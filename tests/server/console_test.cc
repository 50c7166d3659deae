#include "server/console.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

#include "api_fixture.h"
#include "support/echo_playbook.h"
#include "support/manual_clock.h"

namespace vqflow {
namespace {

using test::ApiTest;
using test::request;

std::string header(const HttpResponse& r, const std::string& name) {
  for (const auto& [n, v] : r.headers) {
    if (n == name) return v;
  }
  return "";
}

// Every src= and href= value of an HTML or SVG text.
std::vector<std::string> references(const std::string& text) {
  static const std::regex reference(R"re(\b(?:src|href)\s*=\s*["']?([^"'\s>]+))re",
                                    std::regex::icase);
  std::vector<std::string> out;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), reference);
       it != std::sregex_iterator(); ++it) {
    out.push_back((*it)[1].str());
  }
  return out;
}

class ConsoleTest : public ApiTest {};

TEST_F(ConsoleTest, PageIsHtmlUnderAStrictPolicyAndLoadsOnlyItsOwnFiles) {
  make_api();
  HttpResponse page = answer(request("GET", "/"));
  ASSERT_EQ(page.status, 200) << page.body;
  EXPECT_EQ(page.content_type, "text/html; charset=utf-8");
  EXPECT_EQ(header(page, "X-Content-Type-Options"), "nosniff");
  const std::string policy = header(page, "Content-Security-Policy");
  EXPECT_NE(policy.find("default-src 'none'"), std::string::npos) << policy;
  EXPECT_NE(policy.find("script-src 'self';"), std::string::npos) << policy;
  EXPECT_NE(policy.find("style-src 'self';"), std::string::npos) << policy;
  EXPECT_NE(policy.find("connect-src 'self' ws://127.0.0.1:8080 wss://127.0.0.1:8080;"),
            std::string::npos)
      << policy;
  EXPECT_EQ(policy.find("unsafe"), std::string::npos) << policy;
  EXPECT_EQ(page.body.find("<script>"), std::string::npos) << "inline script";
  EXPECT_EQ(page.body.find("<style"), std::string::npos) << "inline style";
  const std::vector<std::string> refs = references(page.body);
  EXPECT_FALSE(refs.empty());
  for (const std::string& ref : refs) {
    if (ref.front() == '#') continue;  // a place in the page itself
    ASSERT_EQ(ref.rfind("/console/", 0), 0u) << "not a console file: " << ref;
    HttpResponse file = answer(request("GET", ref));
    EXPECT_EQ(file.status, 200) << ref;
    EXPECT_EQ(header(file, "X-Content-Type-Options"), "nosniff") << ref;
  }
}

TEST_F(ConsoleTest, NoConsoleFileNamesAnotherHost) {
  // Scripts import each other by relative path; nothing reaches beyond this server.
  static const std::regex elsewhere(R"re((?:src|href|import|from|url)\W{0,3}(?:https?:)?//)re",
                                    std::regex::icase);
  for (const ConsoleFile& file : console_files()) {
    const std::string text(file.bytes);
    EXPECT_FALSE(std::regex_search(text, elsewhere)) << file.name;
  }
}

TEST_F(ConsoleTest, FilesHaveTheirContentTypes) {
  make_api();
  struct Case {
    const char* path;
    const char* type;
  };
  for (const Case& c : {Case{"/console/app.js", "text/javascript; charset=utf-8"},
                        Case{"/console/graph.js", "text/javascript; charset=utf-8"},
                        Case{"/console/style.css", "text/css; charset=utf-8"},
                        Case{"/console/icon.svg", "image/svg+xml"},
                        Case{"/console/index.html", "text/html; charset=utf-8"}}) {
    HttpResponse r = answer(request("GET", c.path));
    EXPECT_EQ(r.status, 200) << c.path;
    EXPECT_EQ(r.content_type, c.type) << c.path;
    EXPECT_FALSE(r.body.empty()) << c.path;
  }
}

TEST_F(ConsoleTest, UnknownFilesAndOtherMethodsAreRefused) {
  make_api();
  for (const char* path : {"/console/nope.js", "/console/%2e%2e%2fapi.h", "/console/",
                           "/console/a/b.js", "/index.html"}) {
    EXPECT_EQ(answer(request("GET", path)).status, 404) << path;
  }
  EXPECT_EQ(answer(request("POST", "/console/app.js")).status, 405);
  EXPECT_EQ(answer(request("POST", "/")).status, 405);
}

TEST_F(ConsoleTest, KnownTagAnswersNotModified) {
  make_api();
  HttpResponse first = answer(request("GET", "/console/app.js"));
  const std::string tag = header(first, "ETag");
  ASSERT_FALSE(tag.empty());
  EXPECT_EQ(header(first, "Cache-Control"), "no-cache");
  HttpResponse again = answer(request("GET", "/console/app.js", "", {{"if-none-match", tag}}));
  EXPECT_EQ(again.status, 304);
  EXPECT_TRUE(again.body.empty());
  EXPECT_EQ(answer(request("GET", "/console/app.js", "", {{"if-none-match", "\"old\""}})).status,
            200);
}

TEST_F(ConsoleTest, PolicyNamesTheWebSocketOnlyForAPlainHost) {
  EXPECT_NE(console_security_policy("[::1]:8080").find("ws://[::1]:8080"), std::string::npos);
  const std::string forged = console_security_policy("x; script-src *");
  EXPECT_EQ(forged.find("script-src *"), std::string::npos) << forged;
  EXPECT_NE(forged.find("connect-src 'self';"), std::string::npos) << forged;
}

TEST_F(ConsoleTest, TokenGuardsTheApiButNotTheConsoleFiles) {
  ApiOptions options;
  options.token = "s3cret";
  make_api(options);
  EXPECT_EQ(answer(request("GET", "/")).status, 200);
  EXPECT_EQ(answer(request("GET", "/console/app.js")).status, 200);
  EXPECT_EQ(answer(request("GET", "/console/nope.js")).status, 404);
  EXPECT_EQ(answer(request("GET", "/api/runs")).status, 401);
  EXPECT_EQ(answer(request("POST", "/", "", {})).status, 401);
}

TEST_F(ConsoleTest, WebSocketTakesTheTokenFromTheQuery) {
  ApiOptions options;
  options.token = "s3cret";
  make_api(options);
  const std::map<std::string, std::string> upgrade = {{"upgrade", "websocket"},
                                                      {"connection", "Upgrade"}};
  auto admitted = [&](const std::string& target) {
    return !api_->admit(request("GET", target, "", upgrade), 0).has_value();
  };
  EXPECT_TRUE(admitted("/api/ws?access_token=s3cret"));
  EXPECT_TRUE(admitted("/api/v1/ws?access_token=s3cret"));
  EXPECT_FALSE(admitted("/api/ws?access_token=s3cre"));
  EXPECT_FALSE(admitted("/api/ws?access_token=s3cret0"));
  EXPECT_FALSE(admitted("/api/ws?access_token="));
  EXPECT_FALSE(admitted("/api/ws"));
  // Only the upgrade path: other routes keep to the header.
  EXPECT_EQ(answer(request("GET", "/api/runs?access_token=s3cret")).status, 401);
  std::optional<HttpResponse> wrong = api_->admit(request("GET", "/api/ws?access_token=x"), 0);
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(body(*wrong)["error"], "wrong token");
}

TEST_F(ConsoleTest, OwnOriginIsAllowedBesidesTheConfiguredOnes) {
  ApiOptions options;
  options.allowed_origins = {"https://soc.example.com"};
  make_api(options);
  struct Case {
    const char* origin;
    const char* host;
    int status;
  };
  for (const Case& c : {Case{"http://127.0.0.1:8080", "127.0.0.1:8080", 200},
                        Case{"http://localhost:8080", "localhost:8080", 200},
                        Case{"https://soc.example.com", "127.0.0.1:8080", 200},
                        Case{"http://127.0.0.1:9999", "127.0.0.1:8080", 403},
                        Case{"http://localhost:8080", "127.0.0.1:8080", 403},
                        Case{"http://evil.example", "127.0.0.1:8080", 403}}) {
    HttpResponse r =
        answer(request("GET", "/api/health", "", {{"origin", c.origin}, {"host", c.host}}));
    EXPECT_EQ(r.status, c.status) << c.origin << " on " << c.host << ": " << r.body;
  }
}

TEST_F(ConsoleTest, PageOfATokenlessServerListsTheRunsEscaped) {
  make_api();
  services_->db->table("workflow")
      .insert(Value{{"uuid", "hostile"}, {"name", "<script>alert(1)</script>"}, {"status", 0}});
  services_->db->table("runs").insert(Value{{"only_id", "run\"<b>"},
                                            {"uuid", "hostile"},
                                            {"state", "waiting"},
                                            {"started", "2026-12-09 05:00:00"}});
  services_->db->table("runs").insert(Value{
      {"only_id", "k2v9x0a7qz"}, {"uuid", "wf"}, {"state", "done"}, {"started", "2026-12-09"}});
  HttpResponse page = answer(request("GET", "/", "", {{"if-none-match", "\"any\""}}));
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(header(page, "ETag"), "");
  EXPECT_EQ(header(page, "Cache-Control"), "no-store");
  EXPECT_NE(page.body.find(R"(<tr data-run="k2v9x0a7qz" data-state="done">)"), std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find(R"(<a href="#/runs/run%22%3Cb%3E">run&quot;&lt;b&gt;</a>)"),
            std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_EQ(page.body.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.body.find("<!--runs-->"), std::string::npos);
}

TEST_F(ConsoleTest, PageOfAServerWithATokenListsNothing) {
  ApiOptions options;
  options.token = "s3cret";
  make_api(options);
  services_->db->table("runs").insert(
      Value{{"only_id", "k2v9x0a7qz"}, {"uuid", "wf"}, {"state", "waiting"}});
  HttpResponse page = answer(request("GET", "/"));
  ASSERT_EQ(page.status, 200);
  EXPECT_EQ(page.body.find("k2v9x0a7qz"), std::string::npos);
  EXPECT_NE(header(page, "ETag"), "");
}

TEST(ConsoleRunsTable, EmptyListSaysSo) {
  EXPECT_NE(runs_table_html(Value::array()).find("No runs."), std::string::npos);
  EXPECT_EQ(with_initial_html("<main></main>", "x"), "<main></main>");
  EXPECT_EQ(with_initial_html("<main><!--runs--></main>", "x"), "<main>x</main>");
}

TEST_F(ConsoleTest, PlaybookDetailHasItsDocumentsAndTheFindingsOfItsNodes) {
  make_api();
  Row playbook = test::echo_playbook("audited", true);
  // The second node calls an app that no manifest names an action of.
  Value flow_data = parse_json(playbook["flow_data"].get<std::string>());
  flow_data["B"]["data"].erase("action");
  playbook["flow_data"] = json_text(flow_data);
  services_->db->table("workflow").insert(playbook);
  HttpResponse r = answer(request("GET", "/api/playbooks/audited"));
  ASSERT_EQ(r.status, 200) << r.body;
  const Value detail = body(r);
  EXPECT_EQ(detail["name"], "test playbook");
  EXPECT_EQ(detail["audit_list"], parse_json(R"(["U"])"));
  EXPECT_EQ(detail["for_list"], Value::array());
  ASSERT_TRUE(detail["flow_json"].is_object()) << r.body;
  EXPECT_EQ(detail["flow_json"]["cells"].size(), 9u);
  EXPECT_EQ(detail["controller_data"]["U"]["text"], "auditor-7");
  std::set<std::string> nodes;
  for (const Value& finding : detail["findings"]) nodes.insert(text_form(finding["node"]));
  EXPECT_TRUE(nodes.count("B")) << detail["findings"].dump();
  EXPECT_FALSE(nodes.count("A")) << detail["findings"].dump();
}

TEST_F(ConsoleTest, PlaybookDetailOfASoundPlaybookHasNoFindingsAndUnknownIs404) {
  make_api();
  Row fine = test::noop_playbook("fine");
  fine["controller_data"] = "{}";  // the audit node's settings, which it does not draw
  services_->db->table("workflow").insert(fine);
  HttpResponse r = answer(request("GET", "/api/playbooks/fine"));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(body(r)["findings"], Value::array()) << r.body;
  EXPECT_EQ(answer(request("GET", "/api/playbooks/none")).status, 404);
  EXPECT_EQ(answer(request("GET", "/api/v1/playbooks/fine")).status, 200);
}

TEST_F(ConsoleTest, CronPreviewAnswersTheNextFireTimes) {
  make_api();
  // 2023-11-14 22:13:20 UTC, a Tuesday.
  services_->clock = test::ManualClock::make();
  HttpResponse r = answer(request("GET", "/api/timers/next?crontab=0+12+*+*+*&tz=UTC&count=3"));
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(body(r), parse_json(R"({"crontab": "0 12 * * *", "zone": "UTC", "times": [
      {"at": "2023-11-15 12:00:00", "weekday": "Wed"},
      {"at": "2023-11-16 12:00:00", "weekday": "Thu"},
      {"at": "2023-11-17 12:00:00", "weekday": "Fri"}]})"));
  EXPECT_EQ(
      body(answer(request("GET", "/api/timers/next?crontab=*/5%20*%20*%20*%20*")))["times"].size(),
      5u);
}

TEST_F(ConsoleTest, CronPreviewRefusesWhatIsNoCrontab) {
  make_api();
  struct Case {
    const char* query;
    const char* names;
  };
  for (const Case& c :
       {Case{"", "\"crontab\" is required"}, Case{"?crontab=", "\"crontab\" is required"},
        Case{"?crontab=0+24+*+*+*", "hour"}, Case{"?crontab=*+*+*", "Wrong number of fields"},
        Case{"?crontab=0+0+31+2+*", "day"}, Case{"?crontab=*+*+*+*+*&count=0", "\"count\""},
        Case{"?crontab=*+*+*+*+*&count=51", "\"count\""},
        Case{"?crontab=*+*+*+*+*&tz=Nowhere/City", "time zone"}}) {
    HttpResponse r = answer(request("GET", std::string("/api/timers/next") + c.query));
    EXPECT_EQ(r.status, 400) << c.query;
    EXPECT_NE(body(r)["error"].get<std::string>().find(c.names), std::string::npos)
        << c.query << ": " << r.body;
  }
}

}  // namespace
}  // namespace vqflow
