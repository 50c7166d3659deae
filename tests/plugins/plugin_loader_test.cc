#include "plugins/plugin_loader.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "base/errors.h"
#include "plugins/app_path.h"
#include "plugins/plugin_loader_fixture.h"
#include "support/processes.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::children_of_self;
using test::eventually;
using test::is_dead;
using test::run_sync;

const fs::path k_source_dir = VQFLOW_SOURCE_DIR;

void write_file(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

#define EXPECT_CONTAINS(text, part) \
  EXPECT_NE(std::string(text).find(part), std::string::npos) << "in: " << (text)

// ---- folder names and loading ---------------------------------------------------

TEST(AppPath, OnlyPlainNamesAreAppFolders) {
  for (const std::string& name : std::vector<std::string>{"a", "shell_kit", "app-1.2", "A_b-c.d"})
    EXPECT_TRUE(is_plain_app_dir(name)) << name;
  for (const std::string& name :
       std::vector<std::string>{"", ".", "..", "../x", "a/b", "/etc", ".hidden", "a b", "a\\b",
                                "a\nb", "é", std::string("x\0y", 3), std::string(256, 'a')})
    EXPECT_FALSE(is_plain_app_dir(name)) << name;
}

TEST_F(PluginLoaderTest, BadFolderNamesNeverReachOutsideTheAppsFolder) {
  // A perfectly good app right beside the apps folder.
  fs::copy(apps_ / "shell_kit", dir_.path() / "outside", fs::copy_options::recursive);
  for (const std::string& name :
       std::vector<std::string>{"../outside", "a/b", ".hidden", "", std::string("x\0y", 3), "..",
                                "shell_kit/../shell_kit"})
    EXPECT_CONTAINS(load_failure(name, "echo"), "not a plain folder name");
}

TEST_F(PluginLoaderTest, LoadFailuresSayWhatIsMissing) {
  EXPECT_CONTAINS(load_failure("absent", "echo"), "app absent: no app folder");

  fs::create_directories(apps_ / "no_manifest/main");
  EXPECT_CONTAINS(load_failure("no_manifest", "echo"), "app.json: No such file or directory");

  write_file(apps_ / "bad_manifest/app.json", "{\"actions\": ");
  EXPECT_CONTAINS(load_failure("bad_manifest", "echo"),
                  "app bad_manifest: app.json: not valid JSON");

  write_file(apps_ / "bad_args/app.json", R"({"actions": {"x": {"args": [{"required": true}]}}})");
  EXPECT_CONTAINS(load_failure("bad_args", "x"),
                  "actions.x.args[0] needs a non-empty text \"key\"");

  write_file(apps_ / "no_run/app.json", R"({"actions": {"x": {}}})");
  EXPECT_CONTAINS(load_failure("no_run", "x"), "main/run: No such file or directory");

  write_file(apps_ / "not_exec/app.json", R"({"actions": {"x": {}}})");
  write_file(apps_ / "not_exec/main/run", "#!/bin/sh\n");
  EXPECT_CONTAINS(load_failure("not_exec", "x"), "is not executable");

  EXPECT_CONTAINS(load_failure("shell_kit", "nope"),
                  "app shell_kit: app.json offers no action nope");
  EXPECT_CONTAINS(load_failure("shell_kit", "--serve"), "invalid action name");
}

TEST_F(PluginLoaderTest, ManifestChangesAreSeenAtTheNextLoad) {
  EXPECT_CONTAINS(load_failure("shell_kit", "added"), "offers no action");
  Value manifest = parse_json(R"({"identification": "vqflow", "is_public": true,
                                  "actions": {"added": {}, "list": {}}})");
  write_file(apps_ / "shell_kit/app.json", json_text(manifest));
  // Make sure the stamp moves even on a coarse clock.
  fs::last_write_time(apps_ / "shell_kit/app.json",
                      fs::last_write_time(apps_ / "shell_kit/app.json") + 2s);
  EXPECT_NO_THROW(loader().load("shell_kit", "added"));
  EXPECT_CONTAINS(load_failure("shell_kit", "echo"), "offers no action echo");
}

// ---- one-shot calls ---------------------------------------------------------------

TEST_F(PluginLoaderTest, ArgumentsTravelAsAJsonObjectOnStdin) {
  EXPECT_EQ(call("shell_kit", "echo", {{"a", "1"}, {"b", "中 \"q\"\n"}}),
            parse_json(R"({"a": "1", "b": "中 \"q\"\n"})"));
  EXPECT_EQ(call("shell_kit", "echo", {{"a", "x"}}), parse_json(R"({"a": "x"})"));
}

TEST_F(PluginLoaderTest, ArgumentsAreCheckedAgainstTheManifest) {
  EXPECT_EQ(failure<AppArgumentError>("shell_kit", "echo", {{"a", "1"}, {"c", "2"}}),
            "app shell_kit action echo: unexpected argument c");
  EXPECT_EQ(failure<AppArgumentError>("shell_kit", "echo", {{"b", "2"}}),
            "app shell_kit action echo: missing required argument a");
  EXPECT_EQ(failure<AppArgumentError>("shell_kit", "list", {{"weird key", "2"}}),
            "app shell_kit action list: unexpected argument \"weird key\"");
}

TEST_F(PluginLoaderTest, PluginRunsInItsFolderWithAMinimalEnvironment) {
  ::setenv("VQFLOW_TEST_SECRET", "do not leak", 1);
  Value seen = call("shell_kit", "env");
  ::unsetenv("VQFLOW_TEST_SECRET");
  EXPECT_EQ(seen["secret"], "");
  EXPECT_EQ(seen["home"], "");
  EXPECT_EQ(seen["path"], "/usr/local/bin:/usr/bin:/bin");
  EXPECT_EQ(seen["lang"], "C.UTF-8");
  EXPECT_EQ(fs::canonical(seen["cwd"].get<std::string>()), fs::canonical(apps_ / "shell_kit"));
  EXPECT_EQ(seen["argc"], 1);
}

TEST_F(PluginLoaderTest, RelativeAppsFolderIsFoundFromTheStartingDirectory) {
  // Plug-ins start inside their own folder: a relative apps folder (as given
  // on the command line) must still name the program from where vqflow started.
  config_.apps_path = fs::relative(apps_, fs::current_path()).string();
  ASSERT_TRUE(fs::path(config_.apps_path).is_relative());
  EXPECT_EQ(call("shell_kit", "echo", {{"a", "1"}}), parse_json(R"({"a": "1"})"));
}

TEST_F(PluginLoaderTest, ExitStatusTwoIsAnArgumentFailureWithTheLastStderrLine) {
  EXPECT_EQ(failure<AppArgumentError>("shell_kit", "bad_args"),
            "app shell_kit action bad_args: value of x is not a number");
}

TEST_F(PluginLoaderTest, OtherFailuresSayWhatHappened) {
  EXPECT_EQ(failure<AppCallError>("shell_kit", "fail"),
            "app shell_kit action fail: something broke (exit status 1)");
  EXPECT_CONTAINS(failure<AppCallError>("shell_kit", "crash"), "killed by signal 11");
  EXPECT_CONTAINS(failure<AppCallError>("shell_kit", "not_json"), "the result is not JSON");
  EXPECT_EQ(failure<AppCallError>("shell_kit", "empty"),
            "app shell_kit action empty: no result on standard output");
  EXPECT_EQ(failure<AppCallError>("shell_kit", "stderr_flood"),
            "app shell_kit action stderr_flood: the last words (exit status 1)");
}

TEST_F(PluginLoaderTest, AResultThatIsNotAnObjectIsReturnedAsItIs) {
  EXPECT_EQ(call("shell_kit", "list"), parse_json("[1, 2]"));
}

TEST_F(PluginLoaderTest, HungPluginIsKilledAtTheTimeout) {
  config_.app_timeout_seconds = 0.3;
  EXPECT_EQ(failure<AppCallError>("shell_kit", "hang"),
            "app shell_kit action hang: timed out after 0.3 s");
  // Ignoring SIGTERM only earns it a SIGKILL.
  EXPECT_EQ(failure<AppCallError>("shell_kit", "stubborn"),
            "app shell_kit action stubborn: timed out after 0.3 s");
  EXPECT_TRUE(children_of_self().empty());
}

TEST_F(PluginLoaderTest, OutputBeyondTheCapFailsTheCall) {
  config_.app_output_cap = 1u << 20;
  EXPECT_EQ(failure<AppCallError>("shell_kit", "huge"),
            "app shell_kit action huge: output exceeds 1048576 bytes");
}

TEST_F(PluginLoaderTest, GrandchildrenAreKilledWithTheGroup) {
  EXPECT_EQ(call("shell_kit", "grandchild")["result"], "ok");
  int grandchild = 0;
  std::ifstream(apps_ / "shell_kit/grandchild.pid") >> grandchild;
  ASSERT_GT(grandchild, 0);
  EXPECT_TRUE(eventually([&] { return is_dead(grandchild); }));
}

TEST_F(PluginLoaderTest, LargeArgumentsToAPluginThatDoesNotReadThem) {
  EXPECT_EQ(call("shell_kit", "no_read", {{"a", std::string(4u << 20, 'x')}})["result"],
            "ignored stdin");
}

boost::asio::awaitable<void> call_into(std::shared_ptr<AppAction> action,
                                       std::shared_ptr<Value> out) {
  *out = co_await action->call({});
}

TEST_F(PluginLoaderTest, CallsRunConcurrentlyOnOneLoop) {
  boost::asio::io_context ioc;
  std::vector<std::shared_ptr<Value>> results;
  for (int i = 0; i < 4; ++i) {
    results.push_back(std::make_shared<Value>());
    boost::asio::co_spawn(ioc, call_into(loader().load("shell_kit", "slow"), results.back()),
                          boost::asio::detached);
  }
  ioc.run();
  for (const auto& result : results) EXPECT_EQ((*result)["result"], "slow");
}

// ---- persistent workers -------------------------------------------------------------

std::shared_ptr<Value> spawn_call(boost::asio::io_context& ioc, AppLoader& loader,
                                  const std::string& action, NamedArguments args,
                                  std::shared_ptr<std::string> error) {
  auto result = std::make_shared<Value>();
  boost::asio::co_spawn(
      ioc,
      [](std::shared_ptr<AppAction> a, NamedArguments args, std::shared_ptr<Value> result,
         std::shared_ptr<std::string> error) -> boost::asio::awaitable<void> {
        try {
          *result = co_await a->call(std::move(args));
        } catch (const std::exception& e) {
          *error = e.what();
        }
      }(loader.load("py_worker", action), std::move(args), result, error),
      boost::asio::detached);
  return result;
}

TEST_F(PluginLoaderTest, PersistentWorkerServesManyCallsAtOnce) {
  const Value first_pid = call("py_worker", "pid")["result"];
  boost::asio::io_context ioc;
  auto error = std::make_shared<std::string>();
  auto slow = spawn_call(ioc, loader(), "sleep", {{"seconds", "0.5"}, {"text", "slow"}}, error);
  auto fast = spawn_call(ioc, loader(), "sleep", {{"seconds", "0"}, {"text", "fast"}}, error);
  auto echo = spawn_call(ioc, loader(), "echo", {{"text", "中文 \"x\"\n"}}, error);
  auto async = spawn_call(ioc, loader(), "async_echo", {{"text", "awaited"}}, error);
  ioc.run();
  EXPECT_EQ(*error, "");
  EXPECT_EQ((*slow)["result"], "slow");
  EXPECT_EQ((*fast)["result"], "fast");
  EXPECT_EQ((*echo)["result"], "中文 \"x\"\n");
  EXPECT_EQ((*async)["result"], "awaited");
  EXPECT_EQ(call("py_worker", "pid")["result"], first_pid) << "one worker for all calls";
  EXPECT_EQ(call("py_worker", "chatty")["result"], "quiet");
  EXPECT_EQ(call("py_worker", "list"), parse_json("[1, 2]"));
}

TEST_F(PluginLoaderTest, PersistentWorkerReportsFailuresAndKeepsServing) {
  const Value pid = call("py_worker", "pid")["result"];
  EXPECT_CONTAINS(failure<AppArgumentError>("py_worker", "needs_two", {{"a", "1"}}),
                  "TypeError: needs_two() missing 1 required positional argument: 'b'");
  EXPECT_EQ(failure<AppCallError>("py_worker", "boom"),
            "app py_worker action boom: ValueError: boom");
  EXPECT_EQ(failure<AppArgumentError>("py_worker", "echo", {{"txt", "1"}}),
            "app py_worker action echo: unexpected argument txt");
  EXPECT_EQ(call("py_worker", "pid")["result"], pid);
}

TEST_F(PluginLoaderTest, CrashedWorkerFailsItsCallsAndIsReplaced) {
  const int pid = call("py_worker", "pid")["result"].get<int>();
  boost::asio::io_context ioc;
  auto slow_error = std::make_shared<std::string>();
  auto exit_error = std::make_shared<std::string>();
  spawn_call(ioc, loader(), "sleep", {{"seconds", "30"}, {"text", "never"}}, slow_error);
  spawn_call(ioc, loader(), "exit_now", {{"code", "7"}}, exit_error);
  ioc.run();
  EXPECT_EQ(*exit_error, "app py_worker action exit_now: worker ended: exit status 7: exiting now");
  EXPECT_EQ(*slow_error, "app py_worker action sleep: worker ended: exit status 7: exiting now");
  EXPECT_TRUE(is_dead(pid));
  const int replacement = call("py_worker", "pid")["result"].get<int>();
  EXPECT_NE(replacement, pid);
}

TEST_F(PluginLoaderTest, HungCallKillsTheWorker) {
  config_.app_timeout_seconds = 0.5;
  const int pid = call("py_worker", "pid")["result"].get<int>();
  boost::asio::io_context ioc;
  auto hang_error = std::make_shared<std::string>();
  auto other_error = std::make_shared<std::string>();
  auto fast_error = std::make_shared<std::string>();
  spawn_call(ioc, loader(), "hang", {}, hang_error);
  spawn_call(ioc, loader(), "sleep", {{"seconds", "5"}, {"text", "too late"}}, other_error);
  auto fast = spawn_call(ioc, loader(), "echo", {{"text", "in time"}}, fast_error);
  ioc.run();
  EXPECT_EQ(*hang_error, "app py_worker action hang: timed out after 0.5 s");
  EXPECT_EQ(*other_error,
            "app py_worker action sleep: worker stopped: another call on it timed out");
  EXPECT_EQ(*fast_error, "");
  EXPECT_EQ((*fast)["result"], "in time");
  EXPECT_TRUE(eventually([&] { return is_dead(pid); }));
  EXPECT_NE(call("py_worker", "pid")["result"].get<int>(), pid);
}

TEST_F(PluginLoaderTest, WorkerBreakingTheProtocolIsStopped) {
  EXPECT_CONTAINS(
      failure<AppCallError>("py_worker", "garbage"),
      "worker stopped: it wrote a line that is not a JSON object: \"this is not JSON\"");
  EXPECT_EQ(call("py_worker", "echo", {{"text", "fresh"}})["result"], "fresh");
}

// A persistent app that answers each request with the line given as its
// "line" argument, "ID" replaced by the request's id.
void write_echoing_worker(const fs::path& folder) {
  write_file(folder / "app.json",
             R"({"identification": "vqflow", "is_public": true, "mode": "persistent",)"
             R"( "actions": {"say": {"args": [{"key": "line", "required": true}]}}})");
  write_file(folder / "main/run", R"(#!/usr/bin/env python3
import json, sys
for request in sys.stdin:
    request = json.loads(request)
    line = request["args"]["line"].replace("ID", str(request["id"]))
    sys.stdout.write(line + "\n")
    sys.stdout.flush()
)");
  fs::permissions(folder / "main/run", fs::perms::owner_all, fs::perm_options::add);
}

// Answer lines of every shape reach the call as the whole line read as JSON
// would say, however they are read; lines that are not JSON stop the worker.
TEST_F(PluginLoaderTest, AnswerLinesMeanWhatTheirJsonSays) {
  write_echoing_worker(apps_ / "raw");
  const std::string deep =
      std::string(k_max_json_depth - 1, '[') + std::string(k_max_json_depth - 1, ']');
  const std::string too_deep = "[" + deep + "]";
  struct Case {
    std::string line;
    std::string result;   // JSON text of the result, or empty
    std::string failure;  // part of the failure message, or empty
  };
  const std::vector<Case> cases = {
      {R"({"id": ID, "result": {"status": 0, "result": "ok"}})", R"({"status": 0, "result": "ok"})",
       ""},
      {R"({"id":ID,"result":[1,2]})", "[1, 2]", ""},
      {"  {\"id\" :\tID , \"result\" :  \"x\"  } \r", R"("x")", ""},
      {R"({"result": "x", "id": ID})", R"("x")", ""},
      {R"({"id": ID, "result": {"a": 1}, "more": true})", R"({"a": 1})", ""},
      {R"({"id": ID, "result": "x", "error": "boom"})", "", ": boom"},
      {R"({"id": ID, "result": 1, "result": 2})", "2", ""},
      {R"({"id": ID, "error": {"kind": "other", "message": "m"}})", "", ": m"},
      {R"({"id": ID})", "", R"(the answer has neither "result" nor "error")"},
      {"{\"id\": ID, \"result\": " + deep + "}", json_text(parse_json(deep)), ""},
      {R"({"id": 0ID, "result": 1})", "", "not a JSON object: \"{\\\"id\\\": 0"},
      {R"({"id": ID, "result": 1}})", "", "not a JSON object: "},
      {R"({"id": ID, "result": })", "", "not a JSON object: "},
      {R"({"id": ID, "result": 1} x)", "", "not a JSON object: "},
      {"{\"id\": ID, \"result\": " + too_deep + "}", "", "not a JSON object: "},
      {R"({"id": -ID, "result": 1})", "", "without a valid \"id\": "},
      {R"({"id": ID.0, "result": 1})", "", "without a valid \"id\": "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 80));
    try {
      const std::string result = json_text(call("raw", "say", {{"line", c.line}}));
      EXPECT_TRUE(result == c.result) << result.substr(0, 80);
    } catch (const AppCallError& e) {
      const std::string message = e.what();
      EXPECT_FALSE(c.failure.empty()) << message;
      if (!c.failure.empty()) {
        EXPECT_CONTAINS(message, c.failure);
      }
    }
  }
}

TEST_F(PluginLoaderTest, IdleWorkerIsStopped) {
  options_.idle_stop = 200ms;
  const int pid = call("py_worker", "pid")["result"].get<int>();
  EXPECT_TRUE(eventually([&] { return is_dead(pid); }));
  EXPECT_NE(call("py_worker", "pid")["result"].get<int>(), pid);
}

TEST_F(PluginLoaderTest, ChangedAppGetsAFreshWorker) {
  const int pid = call("py_worker", "pid")["result"].get<int>();
  const fs::path manifest = apps_ / "py_worker/app.json";
  fs::last_write_time(manifest, fs::last_write_time(manifest) + 2s);
  EXPECT_NE(call("py_worker", "pid")["result"].get<int>(), pid);
  EXPECT_TRUE(eventually([&] { return is_dead(pid); }));
}

// Each loop has its own thread; the answers are read on whichever loop's call
// holds the reader role, and must still reach the call that asked.
TEST_F(PluginLoaderTest, CallsFromSeveralLoopsAndThreadsShareOneWorker) {
  const Value pid = call("py_worker", "pid")["result"];
  auto echo = loader().load("py_worker", "echo");
  constexpr int k_threads = 4, k_calls = 25;
  std::vector<std::vector<std::string>> got(k_threads);
  std::vector<std::string> errors(k_threads);
  std::vector<std::thread> threads;
  for (int t = 0; t < k_threads; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int i = 0; i < k_calls; ++i) {
          got[t].push_back(run_sync(echo->call({{"text", fmt::format("{}-{}", t, i)}}))["result"]
                               .get<std::string>());
        }
      } catch (const std::exception& e) {
        errors[t] = e.what();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < k_threads; ++t) {
    EXPECT_EQ(errors[t], "");
    ASSERT_EQ(got[t].size(), static_cast<std::size_t>(k_calls));
    for (int i = 0; i < k_calls; ++i) EXPECT_EQ(got[t][i], fmt::format("{}-{}", t, i));
  }
  EXPECT_EQ(call("py_worker", "pid")["result"], pid) << "one worker for all calls";
}

// Requests and answers larger than a pipe holds go through whole, several at once.
TEST_F(PluginLoaderTest, LargeRequestsAndAnswersCrossThePipeWhole) {
  boost::asio::io_context ioc;
  auto error = std::make_shared<std::string>();
  const std::string big_a(300000, 'a'), big_b = std::string(200000, 'b') + "中";
  auto a = spawn_call(ioc, loader(), "echo", {{"text", big_a}}, error);
  auto b = spawn_call(ioc, loader(), "echo", {{"text", big_b}}, error);
  auto small = spawn_call(ioc, loader(), "echo", {{"text", "small"}}, error);
  ioc.run();
  EXPECT_EQ(*error, "");
  EXPECT_EQ((*a)["result"], big_a);
  EXPECT_EQ((*b)["result"], big_b);
  EXPECT_EQ((*small)["result"], "small");
}

// The call reading the answers goes away with its loop: another waiting call
// takes over the reading and gets its answer.
TEST_F(PluginLoaderTest, AbandonedReaderHandsItsRoleOn) {
  call("py_worker", "pid");  // the worker is up
  auto error = std::make_shared<std::string>();
  boost::asio::io_context waiting;
  std::shared_ptr<Value> answer;
  {
    boost::asio::io_context reader;
    auto never = spawn_call(reader, loader(), "sleep", {{"seconds", "5"}, {"text", "a"}}, error);
    reader.run_for(50ms);  // writes its request and reads
    answer = spawn_call(waiting, loader(), "sleep", {{"seconds", "0.2"}, {"text", "b"}}, error);
    waiting.run_for(50ms);  // writes its request and waits
    EXPECT_TRUE(never->is_null());
  }  // the reader's coroutine is destroyed with its loop
  waiting.run();
  EXPECT_EQ(*error, "");
  EXPECT_EQ((*answer)["result"], "b");
}

TEST_F(PluginLoaderTest, DroppingTheLoaderStopsItsWorkers) {
  const int pid = call("py_worker", "pid")["result"].get<int>();
  loader_.reset();
  EXPECT_TRUE(is_dead(pid));
}

TEST_F(PluginLoaderTest, SdkWorksInOneShotModeToo) {
  fs::copy(apps_ / "py_worker", apps_ / "py_once", fs::copy_options::recursive);
  Value manifest = parse_json(std::string(
      std::istreambuf_iterator<char>(std::ifstream(apps_ / "py_once/app.json").rdbuf()), {}));
  manifest.erase("mode");
  write_file(apps_ / "py_once/app.json", json_text(manifest));
  EXPECT_EQ(call("py_once", "echo", {{"text", "héllo"}})["result"], "héllo");
  EXPECT_EQ(call("py_once", "async_echo", {{"text", "a"}})["result"], "a");
  EXPECT_EQ(call("py_once", "chatty")["result"], "quiet");
  EXPECT_EQ(failure<AppArgumentError>("py_once", "needs_two", {{"a", "1"}}),
            "app py_once action needs_two: TypeError: needs_two() missing 1 required positional "
            "argument: 'b'");
  EXPECT_EQ(failure<AppCallError>("py_once", "boom"),
            "app py_once action boom: ValueError: boom (exit status 1)");
}

// ---- the example apps -------------------------------------------------------------

class ExampleAppsTest : public PluginLoaderTest {
 protected:
  void SetUp() override {
    PluginLoaderTest::SetUp();
    fs::copy(k_source_dir / "examples/apps", apps_, fs::copy_options::recursive);
  }
};

TEST_F(ExampleAppsTest, CarryTheCurrentSdk) {
  auto read = [](const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  };
  const std::string sdk = read(k_source_dir / "sdk/python/vqflow_app.py");
  for (const auto& app : {"text_toolkit", "json_picker", "ip_classifier"}) {
    EXPECT_EQ(read(k_source_dir / "examples/apps" / app / "main/vqflow_app.py"), sdk)
        << app << " has an outdated copy of sdk/python/vqflow_app.py";
    Value manifest = parse_json(read(k_source_dir / "examples/apps" / app / "app.json"));
    EXPECT_EQ(manifest["identification"], "vqflow") << app;
    EXPECT_TRUE(manifest.contains("is_public")) << app;
  }
}

TEST_F(ExampleAppsTest, TextToolkit) {
  EXPECT_EQ(call("text_toolkit", "upper", {{"text", "héllo"}}),
            parse_json(R"({"status": 0, "result": "HÉLLO"})"));
  EXPECT_EQ(call("text_toolkit", "count_words", {{"text", " a b\tc "}})["result"], 3);
  EXPECT_EQ(call("text_toolkit", "truncate", {{"text", "abcdef"}, {"length", "3"}})["result"],
            "abc...");
  EXPECT_CONTAINS(
      failure<AppArgumentError>("text_toolkit", "truncate", {{"text", "abc"}, {"length", "x"}}),
      "length must be a whole number");
}

TEST_F(ExampleAppsTest, JsonPicker) {
  const std::string doc = R"({"items": [{"name": "first"}, {"name": "second"}]})";
  EXPECT_EQ(call("json_picker", "pick", {{"json", doc}, {"path", "items.1.name"}})["result"],
            "second");
  EXPECT_EQ(call("json_picker", "pick", {{"json", doc}, {"path", "items.9"}})["status"], 2);
  EXPECT_EQ(call("json_picker", "keys", {{"json", doc}})["result"], parse_json(R"(["items"])"));
}

TEST_F(ExampleAppsTest, IpClassifier) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"10.1.2.3", "private"},
      {"192.168.0.1", "private"},
      {"8.8.8.8", "public"},
      {"127.0.0.1", "loopback"},
      {"::1", "loopback"},
      {"fd00::1", "private"},
      {"2001:4860:4860::8888", "public"},
      {"::ffff:10.0.0.1", "private"},
      {"300.1.1.1", "invalid"},
      {"not an ip", "invalid"},
      {" 1.1.1.1 ", "public"},
  };
  for (const auto& [ip, kind] : cases) {
    Value answer = call("ip_classifier", "classify", {{"ip", ip}});
    EXPECT_EQ(answer["status"], 0) << ip;
    EXPECT_EQ(answer["result"]["kind"], kind) << ip;
  }
}

}  // namespace
}  // namespace vqflow
