// Runs that asked to be resumed: real vqflow processes killed with SIGKILL
// while a node is in flight, then walked again by the next process.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/processes.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

const char* const k_a = "na-0-0-0-0";
const char* const k_b = "nb-0-0-0-0";
const char* const k_c = "nc-0-0-0-0";

std::vector<std::string> lines_of(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// The stores the child processes share: the SQLite file of the test folder,
// or the live servers.
struct Stores {
  std::string db;
  std::string kv;  // empty: the embedded one
};

// A playbook S -> A -> B -> C -> E whose app nodes note each call's
// idempotency key in DIR/<node>.calls. B sleeps while DIR/nap exists (its
// pid in DIR/nap.pids); C notes its arguments, which name A's result.
class ResumeTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (const std::string& pid : lines_of(dir_.file("nap.pids"))) ::kill(std::stoi(pid), SIGKILL);
  }

  void write_app(const std::string& node, const std::string& result, bool naps) {
    const std::filesystem::path app = dir_.path() / "apps" / ("count_" + node.substr(0, 2));
    std::filesystem::create_directories(app / "main");
    std::ofstream(app / "app.json") << R"({"identification": "vqflow", "is_public": true,
      "name": "count", "actions": {"go": {"args": [{"key": "msg"}]}}})";
    const std::string run = (app / "main" / "run").string();
    std::ofstream script(run);
    script << "#!/bin/sh\ncat > " << dir_.file(node + ".input")
           << "\necho \"$VQFLOW_IDEMPOTENCY_KEY\" >> " << dir_.file(node + ".calls") << "\n";
    if (naps) {
      script << "if [ -e " << dir_.file("nap") << " ]; then echo $$ >> " << dir_.file("nap.pids")
             << "; exec sleep 60; fi\n";
    }
    script << "echo '{\"status\": 0, \"result\": \"" << result << "\"}'\n";
    script.close();
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
  }

  // The playbook file; `on_interrupt` absent leaves the member out.
  std::string write_playbook(const std::string& uuid, const char* on_interrupt) {
    write_app(k_a, "alpha", false);
    write_app(k_b, "beta", true);
    write_app(k_c, "gamma", false);
    Value cells = Value::array();
    for (std::string id : {"S", k_a, k_b, k_c, "E"}) {
      cells.push_back({{"shape", "html"}, {"id", id}, {"data", {{"name", id}}}});
    }
    const std::vector<std::pair<std::string, std::string>> edges = {
        {"S", k_a}, {k_a, k_b}, {k_b, k_c}, {k_c, "E"}};
    for (const auto& [from, to] : edges) {
      cells.push_back(
          {{"shape", "vqEdge"}, {"source", {{"cell", from}}}, {"target", {{"cell", to}}}});
    }
    auto node = [](const char* id, Value data) {
      data["node_name"] = id;
      data["action"] = "go";
      return Value{{"app_dir", "count_" + std::string(id).substr(0, 2)}, {"data", data}};
    };
    Value playbook = {{"uuid", uuid},
                      {"name", "resume test"},
                      {"start_app", "S"},
                      {"end_app", "E"},
                      {"flow_json", {{"cells", cells}}},
                      {"flow_data",
                       {{k_a, node(k_a, Value::object())},
                        {k_b, node(k_b, Value::object())},
                        {k_c, node(k_c, {{"msg", std::string("@(") + k_a + ".result)"}})}}},
                      {"controller_data", "{}"},
                      {"local_var_data", "[]"}};
    if (on_interrupt) playbook["on_interrupt"] = on_interrupt;
    const std::string path = dir_.file(uuid + ".json");
    std::ofstream(path) << json_text(playbook, false);
    return path;
  }

  // `vqflow ARGS...` on the test's stores, output to DIR/<log>.
  std::unique_ptr<test::WatchedChild> start(std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/env", "VQFLOW_DB=" + stores_.db,
                                     "VQFLOW_KV=" + stores_.kv, "VQFLOW_APPS=" + dir_.file("apps"),
                                     VQFLOW_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<test::WatchedChild>(argv);
  }

  // Starts `args`, waits until B has been called `calls` times in all and
  // kills the process with SIGKILL.
  void kill_during_b(std::vector<std::string> args, std::size_t calls) {
    auto child = start(std::move(args));
    ASSERT_GT(child->pid(), 0);
    ASSERT_TRUE(
        test::eventually([&] { return lines_of(dir_.file("nap.pids")).size() >= calls; }, 30s))
        << "B was not called";
    ::kill(child->pid(), SIGKILL);
    child->wait();
  }

  // Runs `vqflow ARGS` to its end; answers its standard output.
  std::string finish(const std::string& args, int expected_exit = 0) {
    const std::string command = "VQFLOW_DB='" + stores_.db + "' VQFLOW_KV='" + stores_.kv +
                                "' VQFLOW_APPS='" + dir_.file("apps") + "' " + VQFLOW_BINARY + " " +
                                args + " 2>>" + dir_.file("stderr.txt");
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
      out.append(buffer, n);
    const int status = ::pclose(pipe);
    std::ifstream err(dir_.file("stderr.txt"));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == expected_exit)
        << out << std::string(std::istreambuf_iterator<char>(err), {});
    return out;
  }

  std::unique_ptr<Database> db() const { return open_database(stores_.db); }
  std::string counter(const std::string& key) const {
    auto kv = open_kv_store(stores_.kv, stores_.kv.empty() ? stores_.db : "");
    return kv->get(key).value_or("0");
  }

  std::optional<Row> run_row(const std::string& uuid) const {
    return db()->table("runs").where("uuid", uuid).first();
  }
  std::vector<std::string> results(const std::string& only_id) const {
    std::vector<std::string> out;
    for (const Row& log : db()->table("logs").where("only_id", only_id).get()) {
      out.push_back(text_form(log["result"]));
    }
    return out;
  }

  void expect_resumed_once(const std::string& uuid) {
    auto row = run_row(uuid);
    ASSERT_TRUE(row);
    const std::string only_id = text_form((*row)["only_id"]);
    EXPECT_EQ(text_form((*row)["state"]), "done") << testing::PrintToString(results(only_id));
    EXPECT_EQ(text_form((*row)["attempt"]), "2");
    EXPECT_EQ(lines_of(dir_.file(std::string(k_a) + ".calls")),
              std::vector<std::string>{only_id + ":" + k_a + ":1"});
    EXPECT_EQ(lines_of(dir_.file(std::string(k_b) + ".calls")),
              (std::vector<std::string>{only_id + ":" + k_b + ":1", only_id + ":" + k_b + ":2"}));
    EXPECT_EQ(lines_of(dir_.file(std::string(k_c) + ".calls")),
              std::vector<std::string>{only_id + ":" + k_c + ":2"});
    // C's reference to A's result is answered from A's checkpoint.
    const std::vector<std::string> input = lines_of(dir_.file(std::string(k_c) + ".input"));
    ASSERT_EQ(input.size(), 1u);
    EXPECT_NE(input[0].find("\"alpha\""), std::string::npos) << input[0];
    const std::vector<std::string> expected = {
        "剧本开始执行", "alpha", "[运行错误] run interrupted: ", "beta", "gamma", "剧本执行结束"};
    const std::vector<std::string> got = results(only_id);
    ASSERT_EQ(got.size(), expected.size()) << testing::PrintToString(got);
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].rfind(expected[i], 0), 0u) << i << ": " << got[i];
    }
    EXPECT_NE(got[2].find(", resuming"), std::string::npos) << got[2];
    EXPECT_EQ(db()->table("report").where("report_no", only_id).get().size(), 1u);
    EXPECT_TRUE(db()->table("checkpoints").where("only_id", only_id).get().empty());
    EXPECT_EQ(counter(uuid + "&&exec_sum"), "0");
  }

  void nap(bool on) {
    if (on) {
      std::ofstream(dir_.file("nap")) << "1";
    } else {
      std::filesystem::remove(dir_.file("nap"));
    }
  }

  TempDir dir_;
  Stores stores_{dir_.file("vqflow.db"), ""};
};

TEST_F(ResumeTest, RecoverWalksAgainCallingOnlyTheNodeInFlight) {
  const std::string file = write_playbook("resume-recover", "resume");
  nap(true);
  kill_during_b({"run", "--json", file}, 1);
  EXPECT_EQ(counter("resume-recover&&exec_sum"), "1");
  nap(false);
  const std::string out = finish("runs recover");
  EXPECT_NE(out.find("resumed run "), std::string::npos) << out;
  EXPECT_NE(out.find(" ended done"), std::string::npos) << out;
  expect_resumed_once("resume-recover");
  EXPECT_EQ(counter("exec_sum"), "0");
}

TEST_F(ResumeTest, NextRunResumesTheRunThatAskedOnItsCommandLine) {
  const std::string file = write_playbook("resume-next", nullptr);
  nap(true);
  kill_during_b({"run", "--json", "--on-interrupt", "resume", file}, 1);
  nap(false);
  // A run of another playbook repairs at its start and waits for the walk.
  const std::string other = dir_.file("other.json");
  std::ofstream(other) << R"({"uuid": "resume-other", "start_app": "S", "end_app": "E",
    "flow_json": {"cells": [{"shape": "html", "id": "S"}, {"shape": "html", "id": "E"},
      {"shape": "vqEdge", "source": {"cell": "S"}, "target": {"cell": "E"}}]},
    "flow_data": {}, "controller_data": "{}", "local_var_data": "[]"})";
  finish("run " + other);
  expect_resumed_once("resume-next");
}

TEST_F(ResumeTest, SigtermLeavesTheRunForTheNextProcessToResume) {
  const std::string file = write_playbook("resume-term", "resume");
  nap(true);
  auto child = start({"run", "--json", file});
  ASSERT_TRUE(test::eventually([&] { return !lines_of(dir_.file("nap.pids")).empty(); }, 30s));
  ::kill(child->pid(), SIGTERM);
  const int status = child->wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 143);
  auto row = run_row("resume-term");
  ASSERT_TRUE(row);
  EXPECT_EQ(text_form((*row)["state"]), "running");
  EXPECT_EQ(counter("resume-term&&exec_sum"), "1");
  nap(false);
  finish("runs recover");
  expect_resumed_once("resume-term");
}

TEST_F(ResumeTest, RunWithoutResumeIsClosedAsBefore) {
  const std::string file = write_playbook("resume-none", nullptr);
  nap(true);
  kill_during_b({"run", "--json", file}, 1);
  finish("runs recover");
  auto row = run_row("resume-none");
  ASSERT_TRUE(row);
  EXPECT_EQ(text_form((*row)["state"]), "interrupted");
  EXPECT_EQ(text_form((*row)["on_interrupt"]), "fail");
  EXPECT_EQ(lines_of(dir_.file(std::string(k_b) + ".calls")).size(), 1u);
  EXPECT_TRUE(db()->table("checkpoints").get().empty());
  EXPECT_EQ(counter("resume-none&&exec_sum"), "0");
}

TEST_F(ResumeTest, ThirdInterruptedWalkClosesTheRun) {
  const std::string file = write_playbook("resume-bound", "resume");
  nap(true);
  kill_during_b({"run", "--json", file}, 1);
  kill_during_b({"runs", "recover"}, 2);
  kill_during_b({"runs", "recover"}, 3);
  nap(false);
  const std::string out = finish("runs recover");
  EXPECT_NE(out.find("not resumed: 3 of 3 walks made"), std::string::npos) << out;
  auto row = run_row("resume-bound");
  ASSERT_TRUE(row);
  EXPECT_EQ(text_form((*row)["state"]), "interrupted");
  EXPECT_EQ(text_form((*row)["attempt"]), "3");
  const std::string only_id = text_form((*row)["only_id"]);
  EXPECT_EQ(lines_of(dir_.file(std::string(k_a) + ".calls")).size(), 1u);
  EXPECT_EQ(lines_of(dir_.file(std::string(k_b) + ".calls")),
            (std::vector<std::string>{only_id + ":" + k_b + ":1", only_id + ":" + k_b + ":2",
                                      only_id + ":" + k_b + ":3"}));
  EXPECT_FALSE(std::filesystem::exists(dir_.file(std::string(k_c) + ".calls")));
  EXPECT_EQ(results(only_id).back(), "剧本执行结束");
  EXPECT_EQ(counter("resume-bound&&exec_sum"), "0");
}

// The same walk on Redis and PostgreSQL (a fresh schema of its own).
using LiveResumeTest = ResumeTest;

TEST_F(LiveResumeTest, RedisAndPostgresResumeTheSameWay) {
  auto redis = test::live_redis_url();
  auto pg = test::live_pg_url();
  if (!redis || !pg) GTEST_SKIP() << "needs VQFLOW_TEST_REDIS and VQFLOW_TEST_PG";
  stores_ = {*pg, *redis};
  const std::string uuid = "resume-live-" + std::to_string(::getpid());
  const std::string file = write_playbook(uuid, "resume");
  nap(true);
  kill_during_b({"run", "--json", file}, 1);
  nap(false);
  finish("runs recover");
  expect_resumed_once(uuid);
}

}  // namespace
}  // namespace vqflow
