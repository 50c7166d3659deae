#include <gtest/gtest.h>
#include <signal.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <thread>

#include "base/errors.h"
#include "plugins/plugin_loader.h"
#include "plugins/plugin_loader_fixture.h"
#include "support/processes.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::eventually;
using test::run_sync;

// Killed members may linger as zombies until whoever inherited them reaps them.
bool group_is_gone(int pgid) { return test::live_members_of_group(pgid).empty(); }

// A call running on a thread of its own, so that the test can stop it meanwhile.
class CallInFlight {
 public:
  CallInFlight(std::shared_ptr<AppAction> action, NamedArguments args, CallControl control) {
    boost::asio::co_spawn(ioc_, run(std::move(action), std::move(args), std::move(control), this),
                          boost::asio::detached);
    thread_ = std::thread([this] { ioc_.run(); });
  }
  ~CallInFlight() { join(); }
  void join() {
    if (thread_.joinable()) thread_.join();
  }
  std::string stopped_message;  // what() of the AppStoppedError
  std::string other_outcome;    // anything else the call ended with

 private:
  static boost::asio::awaitable<void> run(std::shared_ptr<AppAction> action, NamedArguments args,
                                          CallControl control, CallInFlight* self) {
    try {
      Value result = co_await action->call(std::move(args), std::move(control));
      self->other_outcome = "result " + json_text(result);
    } catch (const AppStoppedError& e) {
      self->stopped_message = e.what();
    } catch (const std::exception& e) {
      self->other_outcome = e.what();
    }
  }
  boost::asio::io_context ioc_;
  std::thread thread_;
};

class AppCallControlTest : public PluginLoaderTest {
 protected:
  Value call(const std::string& app, const std::string& action, CallControl control) {
    return run_sync(loader().load(app, action)->call({}, std::move(control)));
  }

  int read_group(const fs::path& file) {
    int pid = 0;
    eventually([&] {
      std::ifstream(file) >> pid;
      return pid > 0;
    });
    return pid;
  }
};

TEST_F(AppCallControlTest, IdempotencyKeyReachesBothKindsOfApp) {
  const CallControl keyed{"run7:node-2:1", nullptr};
  Value one_shot = call("shell_kit", "key", keyed);
  EXPECT_EQ(one_shot["result"], "run7:node-2:1");
  EXPECT_EQ(call("py_worker", "key", keyed)["result"], "run7:node-2:1");
  // Without a key nothing is set, not even an empty variable.
  Value bare = call("shell_kit", "key", {});
  EXPECT_EQ(bare["set"], "");
  EXPECT_EQ(call("py_worker", "key", {})["result"], "");
}

TEST_F(AppCallControlTest, StopKillsTheOneShotProcessGroupWithinASecond) {
  // The stubborn one ignores SIGTERM and is only ended by the SIGKILL after the grace.
  for (const std::string action : {"group_hang", "group_stubborn"}) {
    SCOPED_TRACE(action);
    fs::remove(apps_ / "shell_kit/group.pid");
    auto stop = std::make_shared<StopSignal>();
    CallInFlight call(loader().load("shell_kit", action), {}, CallControl{"", stop});
    const int pgid = read_group(apps_ / "shell_kit/group.pid");
    ASSERT_GT(pgid, 0);
    const auto stopped_at = std::chrono::steady_clock::now();
    stop->stop("run cancelled");
    call.join();
    EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, 1s);
    EXPECT_EQ(call.stopped_message, "app shell_kit action " + action + ": run cancelled");
    EXPECT_EQ(call.other_outcome, "");
    EXPECT_TRUE(eventually([&] { return group_is_gone(pgid); }, 1000ms));
  }
}

TEST_F(AppCallControlTest, StopKillsTheWorkerWhichIsThenReplaced) {
  const int pid = call("py_worker", "pid", {})["result"].get<int>();
  auto stop = std::make_shared<StopSignal>();
  CallInFlight sleeping(loader().load("py_worker", "marked_sleep"), {{"mark", "one"}},
                        CallControl{"", stop});
  CallInFlight neighbour(loader().load("py_worker", "marked_sleep"), {{"mark", "two"}},
                         CallControl{});
  ASSERT_TRUE(eventually(
      [&] { return fs::exists(apps_ / "py_worker/one") && fs::exists(apps_ / "py_worker/two"); }));
  const auto stopped_at = std::chrono::steady_clock::now();
  stop->stop("shutting down");
  sleeping.join();
  neighbour.join();
  EXPECT_LT(std::chrono::steady_clock::now() - stopped_at, 1s);
  EXPECT_EQ(sleeping.stopped_message, "app py_worker action marked_sleep: shutting down");
  EXPECT_EQ(neighbour.other_outcome,
            "app py_worker action marked_sleep: worker stopped: another call on it was stopped");
  EXPECT_TRUE(eventually([&] { return test::is_dead(pid); }, 1000ms));
  EXPECT_NE(call("py_worker", "pid", {})["result"].get<int>(), pid);
}

TEST_F(AppCallControlTest, AStoppedSignalStartsNothing) {
  auto stop = std::make_shared<StopSignal>();
  stop->stop("cancelled");
  for (const auto& [app, action] : std::vector<std::pair<std::string, std::string>>{
           {"shell_kit", "group_hang"}, {"py_worker", "pid"}, {"vq_noop", "run"}}) {
    SCOPED_TRACE(app);
    try {
      call(app, action, CallControl{"", stop});
      ADD_FAILURE() << "the call ran";
    } catch (const AppStoppedError& e) {
      EXPECT_EQ(std::string(e.what()), "app " + app + " action " + action + ": cancelled");
    }
  }
  EXPECT_FALSE(fs::exists(apps_ / "shell_kit/group.pid"));
  EXPECT_TRUE(test::children_of_self().empty());
}

}  // namespace
}  // namespace vqflow
