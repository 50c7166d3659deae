#include <gtest/gtest.h>

#include <fstream>

#include "stores/database.h"
#include "support/cli_runner.h"
#include "support/test_support.h"
#include "value/value.h"

namespace vqflow {
namespace {

using test::TempDir;

// Runs the vqflow binary with `args` on the SQLite file of `dir`.
test::CliOutcome vqflow(const TempDir& dir, const std::string& args) {
  return test::run_vqflow(dir, args);
}

// S -> A -> [U ->] B -> E with built-in text apps at A and B.
std::string playbook_file(const TempDir& dir, const std::string& uuid, bool with_audit) {
  Value cells = Value::array();
  for (std::string id : {"S", "A", "U", "B", "E"}) {
    cells.push_back({{"shape", "html"}, {"id", id}, {"data", {{"name", id}}}});
  }
  std::vector<std::pair<std::string, std::string>> edges = {{"S", "A"}, {"B", "E"}};
  if (with_audit) {
    edges.push_back({"A", "U"});
    edges.push_back({"U", "B"});
  } else {
    edges.push_back({"A", "B"});
  }
  for (const auto& [from, to] : edges) {
    cells.push_back(
        {{"shape", "vqEdge"}, {"source", {{"cell", from}}}, {"target", {{"cell", to}}}});
  }
  Value playbook = {
      {"uuid", uuid},
      {"name", "cli test"},
      {"start_app", "S"},
      {"end_app", "E"},
      {"audit_list", with_audit ? Value::array({"U"}) : Value::array()},
      {"flow_json", {{"cells", cells}}},
      {"flow_data",
       {{"A",
         {{"app_dir", "vq_text"},
          {"data", {{"node_name", "shout"}, {"action", "upper"}, {"text", "hello"}}}}},
        {"B",
         {{"app_dir", "vq_text"},
          {"data", {{"node_name", "size"}, {"action", "length"}, {"text", "abc"}}}}}}},
      {"controller_data", {{"U", {{"node_name", "approve?"}, {"text", "alice"}}}}},
      {"local_var_data", "[]"}};
  const std::string path = dir.file(uuid + ".json");
  std::ofstream(path) << json_text(playbook, false);
  return path;
}

using test::json_lines;

TEST(Cli, RunOfAPlaybookFilePrintsItsRecordsAndLeavesOneReport) {
  TempDir dir;
  auto result = vqflow(dir, "run --json " + playbook_file(dir, "pb-1", false));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  auto lines = json_lines(result.out);
  ASSERT_EQ(lines.size(), 5u) << result.out;
  EXPECT_EQ(lines.front()["data"]["result"], "剧本开始执行");
  EXPECT_EQ(lines[1]["data"]["result"], "HELLO");
  EXPECT_EQ(lines[2]["data"]["result"], "3");
  EXPECT_EQ(lines[3]["data"]["result"], "剧本执行结束");
  EXPECT_EQ(lines.back()["method"], "run_closed");
  EXPECT_EQ(lines.back()["data"]["state"], "done");
  EXPECT_EQ(lines.back()["data"]["failed_steps"], 0);
  EXPECT_EQ(lines.back()["data"]["only_id"], lines[0]["data"]["only_id"]);
  auto db = open_database(dir.file("vqflow.db"));
  EXPECT_EQ(db->table("report").get().size(), 1u);

  auto readable = vqflow(dir, "run pb-1");
  ASSERT_EQ(readable.exit_code, 0) << readable.err;
  EXPECT_NE(readable.out.find("剧本开始执行"), std::string::npos);
  EXPECT_NE(readable.out.find("HELLO"), std::string::npos);
}

TEST(Cli, AuditRoundTripAcrossProcesses) {
  TempDir dir;
  const std::string file = playbook_file(dir, "pb-audit", true);
  auto first = vqflow(dir, "run --json " + file);
  ASSERT_EQ(first.exit_code, 0) << first.err;
  auto lines = json_lines(first.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2]["data"]["result"], "剧本等待审核...");
  EXPECT_EQ(lines.back()["data"]["state"], "waiting");
  EXPECT_EQ(lines.back()["data"]["waiting_at"], "U");
  const std::string only_id = lines.back()["data"]["only_id"].get<std::string>();

  auto db = open_database(dir.file("vqflow.db"));
  auto audits = db->table("audit").get();
  ASSERT_EQ(audits.size(), 1u);
  EXPECT_EQ(audits[0]["status"], 0);
  EXPECT_TRUE(db->table("report").get().empty());

  auto approved = vqflow(dir, "run pb-audit --json --audit-app U --audit-status 1 --only-id " +
                                  only_id + " --user alice --start-app B");
  ASSERT_EQ(approved.exit_code, 0) << approved.err;
  auto resumed = json_lines(approved.out);
  ASSERT_EQ(resumed.size(), 4u) << approved.out;
  EXPECT_EQ(resumed[0]["data"]["result"], "【alice】通过了该剧本执行");
  EXPECT_EQ(resumed[1]["data"]["result"], "3");
  EXPECT_EQ(resumed[2]["data"]["result"], "剧本执行结束");
  EXPECT_EQ(resumed[3]["data"]["state"], "done");
  for (const auto& line : resumed) EXPECT_EQ(line["data"]["only_id"], only_id);
  // The same approval again is refused: the gate was passed once.
  auto replay = vqflow(dir, "run pb-audit --audit-app U --audit-status 1 --only-id " + only_id +
                                " --user alice --start-app B");
  EXPECT_EQ(replay.exit_code, 1);
  EXPECT_NE(replay.err.find("made already (approved by alice"), std::string::npos) << replay.err;
  EXPECT_EQ(db->table("logs").where("only_id", only_id).get().size(), 6u);
  auto reports = db->table("report").get();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["report_no"], only_id);

  // A second waiting run, rejected this time.
  auto again = json_lines(vqflow(dir, "run --json pb-audit").out);
  const std::string second_id = again.back()["data"]["only_id"].get<std::string>();
  auto waiting = vqflow(dir, "run pb-audit");
  EXPECT_EQ(waiting.exit_code, 0);
  EXPECT_NE(waiting.out.find("waiting for approval at U, only_id "), std::string::npos)
      << waiting.out;
  auto rejected = vqflow(dir, "run pb-audit --json --audit-app U --audit-status 2 --only-id " +
                                  second_id + " --user bob --start-app B");
  ASSERT_EQ(rejected.exit_code, 0) << rejected.err;
  auto closing = json_lines(rejected.out);
  ASSERT_EQ(closing.size(), 3u);
  EXPECT_EQ(closing[0]["data"]["result"], "【bob】拒绝了该剧本执行");
  EXPECT_EQ(closing[1]["data"]["result"], "剧本执行结束");
}

TEST(Cli, ExitStatusTellsHowTheRunEnded) {
  TempDir dir;
  vqflow(dir, "import " + playbook_file(dir, "ok", false));
  // A node whose app is missing fails its step; a cycle aborts the run.
  std::string text;
  {
    std::ifstream in(playbook_file(dir, "bad-app", false));
    text.assign(std::istreambuf_iterator<char>(in), {});
  }
  Value failing = parse_json(text);
  failing["flow_data"]["A"]["app_dir"] = "no_such_app";
  std::ofstream(dir.file("bad-app.json")) << json_text(failing, false);
  Value aborting = failing;
  aborting["uuid"] = "broken";
  aborting["flow_json"]["cells"].push_back(
      {{"shape", "vqEdge"}, {"source", {{"cell", "B"}}}, {"target", {{"cell", "A"}}}});
  std::ofstream(dir.file("broken.json")) << json_text(aborting, false);
  vqflow(dir, "import " + dir.file("bad-app.json"));
  vqflow(dir, "import " + dir.file("broken.json"));
  struct Case {
    std::string args;
    int code;
    std::string last_line;  // part of the readable output's last line
  };
  const std::vector<Case> cases = {
      {"run ok", 0, " closed"},
      {"run bad-app", 3, " closed, 1 failed step"},
      {"run broken", 4, " aborted: flow graph has a cycle"},
      {"run nowhere", 1, ""},
      {"run ok --audit-app U --audit-status 1 --only-id aaaaaaaaaa --user intruder --start-app B",
       1, ""},
  };
  for (const auto& c : cases) {
    auto result = vqflow(dir, c.args);
    EXPECT_EQ(result.exit_code, c.code) << c.args << "\n" << result.out << result.err;
    if (c.last_line.empty()) continue;
    std::string out = result.out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    const std::string last = out.substr(out.rfind('\n') + 1);
    EXPECT_NE(last.find(c.last_line), std::string::npos) << c.args << ": " << last;
  }
  auto json = json_lines(vqflow(dir, "run --json bad-app").out);
  ASSERT_FALSE(json.empty());
  EXPECT_EQ(json.back()["data"]["state"], "failed");
  EXPECT_EQ(json.back()["data"]["failed_steps"], 1);
}

TEST(Cli, RefusesWithOneClearLine) {
  TempDir dir;
  struct Case {
    std::string args;
    std::string says;
  };
  std::ofstream(dir.file("broken.json")) << R"({"uuid": "x", "flow_json": "{nope"})";
  std::ofstream(dir.file("unknown.json")) << R"([{"uuid": "y"}, {"uuid": "z", "colour": "red"}])";
  const std::vector<Case> cases = {
      {"run no-such-playbook", "not found"},
      {"import " + dir.file("broken.json"), "flow_json"},
      {"import " + dir.file("unknown.json"), "playbook[1]: unknown member \"colour\""},
      {"run x --audit-app U --audit-status 1", "--only-id"},
      {"--db postgresql://nobody@127.0.0.1:1/x db init", "--kv"},
      {"--app-idle 0 run x", "--app-idle"},
      {"--app-idle 1e300 run x", "--app-idle"},
  };
  for (const auto& c : cases) {
    auto result = vqflow(dir, c.args);
    EXPECT_NE(result.exit_code, 0) << c.args;
    EXPECT_NE(result.err.find(c.says), std::string::npos) << c.args << " -> " << result.err;
  }
  // Nothing of a refused file was stored.
  auto db = open_database(dir.file("vqflow.db"));
  db->init_schema();
  EXPECT_TRUE(db->table("workflow").get().empty());
}

}  // namespace
}  // namespace vqflow
