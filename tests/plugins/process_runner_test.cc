#include "plugins/process_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "support/processes.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

using namespace std::chrono_literals;
using test::children_of_self;
using test::eventually;
using test::is_dead;
using test::run_sync;

ProcessSpec shell(const std::string& script) {
  ProcessSpec plan;
  plan.argv = {"/bin/sh", "-c", script};
  plan.env = minimal_environment();
  plan.timeout = 30s;
  plan.kill_grace = 500ms;
  return plan;
}

ProcessResult run(ProcessSpec plan) { return run_sync(run_process(std::move(plan))); }

TEST(ProcessRunner, CollectsStdoutStderrAndExitStatus) {
  auto plan = shell("cat; echo oops >&2; exit 3");
  plan.stdin_data = "hello";
  ProcessResult result = run(plan);
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_EQ(result.out, "hello");
  EXPECT_EQ(result.err, "oops\n");
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(describe_ending(result, plan), "exit status 3");
}

TEST(ProcessRunner, ReportsTheSignalThatEndedTheChild) {
  auto plan = shell("kill -SEGV $$");
  ProcessResult result = run(plan);
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.signal, SIGSEGV);
  EXPECT_NE(describe_ending(result, plan).find("killed by signal 11"), std::string::npos);
}

TEST(ProcessRunner, MovesLargeInputAndOutputWithoutDeadlock) {
  auto plan = shell("cat");
  plan.stdin_data.assign(4u << 20, 'a');
  plan.stdin_data += "end";
  ProcessResult result = run(plan);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out.size(), plan.stdin_data.size());
  EXPECT_TRUE(result.out == plan.stdin_data);
}

TEST(ProcessRunner, ChildThatIgnoresItsStdinDoesNotHurt) {
  auto plan = shell("echo done");
  plan.stdin_data.assign(2u << 20, 'x');
  ProcessResult result = run(plan);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "done\n");
}

TEST(ProcessRunner, TimeoutKillsTheWholeGroup) {
  test::TempDir dir;
  auto plan = shell("sleep 1000 & echo $! > " + dir.file("pid") + "; sleep 1000");
  plan.timeout = 300ms;
  ProcessResult result = run(plan);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.signal, SIGTERM);
  EXPECT_EQ(describe_ending(result, plan), "timed out after 0.3 s");
  int grandchild = 0;
  std::ifstream(dir.file("pid")) >> grandchild;
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(eventually([&] { return is_dead(grandchild); }));
  EXPECT_TRUE(children_of_self().empty());
}

TEST(ProcessRunner, SigkillFollowsAnIgnoredSigterm) {
  auto plan = shell("trap '' TERM; sleep 1000");
  plan.timeout = 200ms;
  plan.kill_grace = 200ms;
  ProcessResult result = run(plan);
  EXPECT_TRUE(result.timed_out);
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_TRUE(children_of_self().empty());
}

TEST(ProcessRunner, OutputBeyondTheCapKillsTheChild) {
  auto plan = shell("exec yes");
  plan.output_cap = 100000;
  ProcessResult result = run(plan);
  EXPECT_TRUE(result.output_exceeded);
  EXPECT_LE(result.out.size(), plan.output_cap);
  EXPECT_EQ(describe_ending(result, plan), "output exceeds 100000 bytes");
}

TEST(ProcessRunner, KeepsOnlyTheTailOfStderr) {
  auto plan = shell("head -c 1000000 /dev/zero | tr '\\0' 'x' >&2; echo >&2; echo last >&2");
  plan.stderr_keep = 1000;
  ProcessResult result = run(plan);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err.size(), 1000u);
  EXPECT_EQ(last_line(result.err), "last");
}

TEST(ProcessRunner, GrandchildHoldingStdoutDoesNotDelayTheResult) {
  test::TempDir dir;
  auto plan = shell("sleep 1000 & echo $! > " + dir.file("pid") + "; echo done");
  ProcessResult result = run(plan);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "done\n");
  int grandchild = 0;
  std::ifstream(dir.file("pid")) >> grandchild;
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(eventually([&] { return is_dead(grandchild); }));
}

TEST(ProcessRunner, ProcessThatLeftTheGroupCannotHoldTheCallForever) {
  test::TempDir dir;
  // setsid puts the sleeper in its own group, out of reach of the group kill;
  // it keeps stdout open, so the runner must stop waiting for the pipe.
  const std::string pid_file = dir.file("pid");
  auto plan =
      shell("setsid sh -c 'echo $$ > " + pid_file + ".tmp; mv " + pid_file + ".tmp " + pid_file +
            "; exec sleep 1000' & while [ ! -s " + pid_file + " ]; do sleep 0.01; done; echo done");
  plan.kill_grace = 200ms;
  ProcessResult result = run(plan);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "done\n");
  int escaped = 0;
  std::ifstream(pid_file) >> escaped;
  ASSERT_GT(escaped, 0);
  ::kill(escaped, SIGKILL);
}

TEST(ProcessRunner, ChildGetsOnlyTheGivenEnvironmentAndDirectory) {
  test::TempDir dir;
  ::setenv("VQFLOW_TEST_SECRET", "do not leak", 1);
  ProcessSpec plan;
  plan.argv = {"/usr/bin/env"};
  plan.env = minimal_environment();
  plan.cwd = dir.path().string();
  ProcessResult result = run(plan);
  ::unsetenv("VQFLOW_TEST_SECRET");
  EXPECT_EQ(result.out, "PATH=/usr/local/bin:/usr/bin:/bin\nLANG=C.UTF-8\n");

  auto pwd = shell("pwd -P");
  pwd.cwd = dir.path().string();
  EXPECT_EQ(run(pwd).out, std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST(ProcessRunner, ServerDescriptorsAreNotInherited) {
  // Without close-on-exec, as Asio creates its sockets.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);
  ProcessResult result = run(shell("ls /proc/$$/fd"));
  ::close(leaked);
  EXPECT_EQ(result.out, "0\n1\n2\n");
}

TEST(ProcessRunner, SigpipeIsDefaultInTheChild) {
  // The server ignores SIGPIPE; a child must not inherit that, or `yes` below
  // would complain about a broken pipe instead of ending quietly.
  ProcessResult result = run(shell("yes | head -c 1 >/dev/null"));
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
}

TEST(ProcessRunner, StartFailuresThrowAndLeaveNothingBehind) {
  ProcessSpec missing;
  missing.argv = {"/nonexistent/program"};
  EXPECT_THROW(run(missing), ProcessError);

  test::TempDir dir;
  std::ofstream(dir.file("plain")) << "#!/bin/sh\necho hi\n";
  ProcessSpec not_executable;
  not_executable.argv = {dir.file("plain")};
  EXPECT_THROW(run(not_executable), ProcessError);

  auto bad_cwd = shell("pwd");
  bad_cwd.cwd = dir.file("no_such_folder");
  try {
    run(bad_cwd);
    ADD_FAILURE() << "expected ProcessError";
  } catch (const ProcessError& e) {
    EXPECT_NE(std::string(e.what()).find("no_such_folder"), std::string::npos) << e.what();
  }
  EXPECT_TRUE(children_of_self().empty());
}

boost::asio::awaitable<void> tick(std::shared_ptr<int> ticks) {
  boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor);
  for (int i = 0; i < 3; ++i) {
    timer.expires_after(1ms);
    co_await timer.async_wait(boost::asio::use_awaitable);
    ++*ticks;
  }
}

boost::asio::awaitable<int> run_beside_ticker(ProcessSpec plan) {
  auto ticks = std::make_shared<int>(0);
  boost::asio::co_spawn(co_await boost::asio::this_coro::executor, tick(ticks),
                        boost::asio::detached);
  co_await run_process(std::move(plan));
  co_return *ticks;
}

TEST(ProcessRunner, OtherCoroutinesRunWhileTheChildRuns) {
  EXPECT_EQ(run_sync(run_beside_ticker(shell("sleep 1"))), 3);
}

TEST(ProcessRunner, ManyRunsLeaveNoZombies) {
  for (int i = 0; i < 10; ++i) {
    run(shell("echo $$"));
    run(shell("kill -KILL $$"));
    run(shell("sleep 0.01 & exit 4"));
  }
  EXPECT_TRUE(children_of_self().empty());
}

TEST(ProcessRunner, LastLineSkipsBlankLines) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", ""},
      {"one", "one"},
      {"one\ntwo\n", "two"},
      {"one\ntwo\n\n  \n", "two"},
      {"a\r\nb\r\n", "b"},
      {"\n\n", ""},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(last_line(text), expected) << text;
}

}  // namespace
}  // namespace vqflow
