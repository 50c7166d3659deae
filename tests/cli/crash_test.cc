// Runs whose process dies or is stopped: real vqflow processes killed for
// real, then the stores checked for what the next process repairs.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "stores/database.h"
#include "stores/kv_store.h"
#include "support/cli_runner.h"
#include "support/processes.h"
#include "support/slow_playbook.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;
using test::TempDir;

// A `vqflow run --json FILE` child on the stores of `dir`.
struct RunChild {
  pid_t pid = -1;
  std::unique_ptr<test::OutputWatcher> out;

  RunChild(const TempDir& dir, const std::string& file) {
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(pipe_fds[1], 1);
      ::close(pipe_fds[0]);
      ::close(pipe_fds[1]);
      ::setenv("VQFLOW_DB", dir.file("vqflow.db").c_str(), 1);
      ::setenv("VQFLOW_APPS", dir.file("apps").c_str(), 1);
      ::execl(VQFLOW_BINARY, VQFLOW_BINARY, "run", "--json", file.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(pipe_fds[1]);
    out = std::make_unique<test::OutputWatcher>(pipe_fds[0]);
  }

  // Waits until the app has started (its pid is noted).
  bool app_started(const TempDir& dir, std::size_t count = 1) const {
    return test::eventually([&] { return test::slow_app_pids(dir).size() >= count; }, 20s);
  }

  int wait_status() {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }
};

struct StoredRun {
  std::string state;
  std::vector<std::string> results;
  std::size_t reports = 0;
};

StoredRun stored_run(const TempDir& dir, const std::string& uuid) {
  auto db = open_database(dir.file("vqflow.db"));
  StoredRun out;
  auto run = db->table("runs").where("uuid", uuid).first();
  if (!run) return out;
  out.state = text_form((*run)["state"]);
  const Value only_id = (*run)["only_id"];
  for (const Row& log : db->table("logs").where("only_id", only_id).get()) {
    out.results.push_back(text_form(log["result"]));
  }
  out.reports = db->table("report").where("report_no", only_id).get().size();
  return out;
}

std::string counter(const TempDir& dir, const std::string& key) {
  auto kv = open_kv_store("", dir.file("vqflow.db"));
  return kv->get(key).value_or("0");
}

// Runs the slow playbook `uuid` (a 30 s app) in a `vqflow run` child and
// kills that with SIGKILL once the app runs; answers the app's process group
// (-1 when the app never started).
int kill_mid_app(const TempDir& dir, const std::string& uuid) {
  test::write_slow_app(dir, 30);
  RunChild child(dir, test::write_slow_playbook(dir, uuid));
  if (!child.app_started(dir)) return -1;
  ::kill(child.pid, SIGKILL);
  child.wait_status();
  return test::slow_app_pids(dir).front();
}

TEST(CrashSafety, KilledRunIsRepairedOnceByTheNextProcess) {
  TempDir dir;
  ASSERT_GT(kill_mid_app(dir, "crash-kill"), 0);
  EXPECT_EQ(stored_run(dir, "crash-kill").state, "running");
  EXPECT_EQ(counter(dir, "crash-kill&&exec_sum"), "1");

  auto recovered = test::run_vqflow(dir, "runs recover");
  ASSERT_EQ(recovered.exit_code, 0) << recovered.err;
  EXPECT_NE(recovered.out.find("1 run(s) repaired"), std::string::npos) << recovered.out;
  StoredRun run = stored_run(dir, "crash-kill");
  EXPECT_EQ(run.state, "interrupted");
  ASSERT_EQ(run.results.size(), 3u);
  EXPECT_EQ(run.results[0], "剧本开始执行");
  EXPECT_EQ(run.results[1].rfind("[运行错误] run interrupted: ", 0), 0u) << run.results[1];
  EXPECT_EQ(run.results[2], "剧本执行结束");
  EXPECT_EQ(run.reports, 1u);
  EXPECT_EQ(counter(dir, "crash-kill&&exec_sum"), "0");
  EXPECT_EQ(counter(dir, "exec_sum"), "0");

  auto again = test::run_vqflow(dir, "runs recover");
  EXPECT_NE(again.out.find("0 run(s) repaired"), std::string::npos) << again.out;
}

TEST(CrashSafety, KilledRunLeavesNoAppAndTheNextRunRepairsIt) {
  TempDir dir;
  const int app_group = kill_mid_app(dir, "crash-next");
  ASSERT_GT(app_group, 0);
  EXPECT_TRUE(test::eventually([&] { return test::live_members_of_group(app_group).empty(); }, 1s));

  test::write_slow_app(dir, 0);  // the next run's apps answer at once
  RunChild next(dir, dir.file("crash-next.json"));
  const int status = next.wait_status();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  auto db = open_database(dir.file("vqflow.db"));
  std::map<std::string, std::vector<std::string>> results;  // by state
  for (const Row& run : db->table("runs").where("uuid", "crash-next").get()) {
    auto& texts = results[text_form(run["state"])];
    for (const Row& log : db->table("logs").where("only_id", run["only_id"]).get()) {
      texts.push_back(text_form(log["result"]));
    }
  }
  ASSERT_EQ(results.size(), 2u);
  ASSERT_EQ(results["interrupted"].size(), 3u);
  EXPECT_EQ(results["interrupted"][1].rfind("[运行错误] run interrupted: ", 0), 0u);
  EXPECT_EQ(results["done"],
            (std::vector<std::string>{"剧本开始执行", "rested", "rested", "剧本执行结束"}));
  EXPECT_EQ(counter(dir, "crash-next&&exec_sum"), "0");
  EXPECT_EQ(counter(dir, "exec_sum"), "0");
}

TEST(CrashSafety, TwoRepairingProcessesLowerTheCountersOnce) {
  TempDir dir;
  test::write_slow_app(dir, 30);
  const std::string file = test::write_slow_playbook(dir, "crash-race");
  // Killed together: each process repairs at its start what dead processes
  // left, so none may be dead before the last has started.
  std::vector<std::unique_ptr<RunChild>> children;
  for (std::size_t i = 1; i <= 3; ++i) {
    children.push_back(std::make_unique<RunChild>(dir, file));
    ASSERT_TRUE(children.back()->app_started(dir, i));
  }
  for (auto& child : children) ::kill(child->pid, SIGKILL);
  for (auto& child : children) child->wait_status();
  EXPECT_EQ(counter(dir, "crash-race&&exec_sum"), "3");
  test::CliOutcome first, second;
  std::thread other([&] { second = test::run_vqflow(dir, "runs recover"); });
  first = test::run_vqflow(dir, "runs recover");
  other.join();
  auto repaired_lines = [](const std::string& out) {
    std::size_t n = 0;
    for (std::size_t at = out.find("repaired run "); at != std::string::npos;
         at = out.find("repaired run ", at + 1)) {
      ++n;
    }
    return n;
  };
  EXPECT_EQ(repaired_lines(first.out) + repaired_lines(second.out), 3u)
      << first.out << second.out << first.err << second.err;
  EXPECT_EQ(counter(dir, "crash-race&&exec_sum"), "0");
  EXPECT_EQ(counter(dir, "exec_sum"), "0");
  auto db = open_database(dir.file("vqflow.db"));
  EXPECT_EQ(db->table("runs").where("state", "interrupted").get().size(), 3u);
  EXPECT_EQ(db->table("report").get().size(), 3u);
}

TEST(CrashSafety, SigtermInterruptsTheRunWhichClosesAndExits143) {
  TempDir dir;
  test::write_slow_app(dir, 1);
  const std::string file = test::write_slow_playbook(dir, "crash-term");
  RunChild child(dir, file);
  ASSERT_TRUE(child.app_started(dir));
  ::kill(child.pid, SIGTERM);
  const int status = child.wait_status();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 143);
  EXPECT_TRUE(test::live_members_of_group(test::slow_app_pids(dir).front()).empty());
  StoredRun run = stored_run(dir, "crash-term");
  EXPECT_EQ(run.state, "interrupted");
  ASSERT_GE(run.results.size(), 3u);
  EXPECT_EQ(run.results[run.results.size() - 2].rfind("[运行错误] run interrupted: ", 0), 0u);
  EXPECT_EQ(run.results.back(), "剧本执行结束");
  EXPECT_EQ(counter(dir, "crash-term&&exec_sum"), "0");
}

TEST(CrashSafety, CancelFromAnotherProcessStopsTheAppAndClosesTheRun) {
  TempDir dir;
  test::write_slow_app(dir, 30);
  const std::string file = test::write_slow_playbook(dir, "crash-cancel");
  RunChild child(dir, file);
  ASSERT_TRUE(child.app_started(dir));
  auto db = open_database(dir.file("vqflow.db"));
  auto row = db->table("runs").where("uuid", "crash-cancel").first();
  ASSERT_TRUE(row);
  const std::string only_id = text_form((*row)["only_id"]);
  auto cancelled = test::run_vqflow(dir, "runs cancel " + only_id + " --user bob");
  ASSERT_EQ(cancelled.exit_code, 0) << cancelled.err;
  const int status = child.wait_status();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 5);
  StoredRun run = stored_run(dir, "crash-cancel");
  EXPECT_EQ(run.state, "cancelled");
  ASSERT_EQ(run.results.size(), 3u);
  EXPECT_EQ(run.results[1], "[运行错误] run cancelled by bob");
  EXPECT_EQ(run.results[2], "剧本执行结束");
  EXPECT_EQ(counter(dir, "crash-cancel&&exec_sum"), "0");
  // A closed run cannot be cancelled again.
  EXPECT_NE(test::run_vqflow(dir, "runs cancel " + only_id).exit_code, 0);
}

}  // namespace
}  // namespace vqflow
