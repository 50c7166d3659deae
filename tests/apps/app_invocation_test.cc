#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/errors.h"
#include "engine_fixture.h"
#include "plugins/plugin_loader.h"
#include "support/refusing_kv_store.h"

namespace vqflow::test {
namespace {

const char* const k_node = "n-o-d-e-1";

class Execute : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    engine_->global_var_data = Value{{"g", "G"}};
  }
  Value execute(const std::string& node, std::optional<std::string> dir,
                std::optional<Value> data) {
    return run_sync(engine_->execute(node, std::move(dir), std::move(data)));
  }
};

const Value k_data = {{"node_name", "Demo"}, {"action", "run"}, {"ip", "@{g}"}, {"port", 5}};
const std::string k_unexpanded =
    R"({"node_name": "Demo", "action": "run", "ip": "@{g}", "port": 5, "app_dir": "demo"})";
const std::string k_expanded =
    R"({"node_name": "Demo", "action": "run", "ip": "G", "port": "5", "app_dir": "demo"})";

struct Outcome {
  std::string name;
  std::optional<std::string> manifest;  // absent: no manifest file
  std::optional<FakeAppLoader::Function> action;
  Value status;
  Value result;
  Value html;
  std::string args;
};

TEST_F(Execute, EveryOutcomeOfAnAppNode) {
  const std::string ok_manifest = R"({"identification": "vqflow", "is_public": false})";
  auto returning = [](Value v) { return [v](const NamedArguments&) { return v; }; };
  const std::vector<Outcome> cases = {
      {"no manifest", std::nullopt, std::nullopt, 2, "[配置错误] 请配置 is_identification",
       "[配置错误] 请配置 is_identification", k_unexpanded},
      {"other identification", R"({"identification": "other", "is_public": 1})", std::nullopt, 2,
       "[配置错误] 请配置 is_identification", "[配置错误] 请配置 is_identification", k_unexpanded},
      {"manifest not a map", R"(["identification"])", std::nullopt, 2,
       "[配置错误] 请配置 is_identification", "[配置错误] 请配置 is_identification", k_unexpanded},
      {"no is_public", R"({"identification": "vqflow"})", std::nullopt, 2,
       "[配置错误] 请配置 is_public", "[配置错误] 请配置 is_public", k_unexpanded},
      {"no such action", ok_manifest, std::nullopt, 2, "[程序错误] no action run in app demo",
       "[程序错误] no action run in app demo", k_unexpanded},
      {"argument failure", ok_manifest,
       [](const NamedArguments&) -> Value { throw AppArgumentError("unexpected argument 'ip'"); },
       2, "[非法应用] unexpected argument 'ip'", "[非法应用] unexpected argument 'ip'", k_expanded},
      {"call failure", ok_manifest,
       [](const NamedArguments&) -> Value { throw AppCallError("exit status 3"); }, 2,
       "[未知错误] exit status 3", "[未知错误] exit status 3", k_expanded},
      {"any other exception", ok_manifest,
       [](const NamedArguments&) -> Value { throw std::runtime_error("boom"); }, 2,
       "[未知错误] boom", "[未知错误] boom", k_expanded},
      {"no status", ok_manifest, returning({{"result", "r"}}), 2,
       "[返回错误] 请检测 status 返回字段", "[返回错误] 请检测 status 返回字段", k_expanded},
      {"neither status nor result", ok_manifest, returning(Value::object()), 2,
       "[返回错误] 请检测 status 返回字段", "[返回错误] 请检测 status 返回字段", k_expanded},
      {"result not a map", ok_manifest, returning("plain"), 2, "[返回错误] 请检测 status 返回字段",
       "[返回错误] 请检测 status 返回字段", k_expanded},
      {"no result", ok_manifest, returning({{"status", 0}}), 2, "[返回错误] 请检测 result 返回字段",
       "[返回错误] 请检测 result 返回字段", k_expanded},
      {"success without html", ok_manifest, returning({{"status", 0}, {"result", "ok"}}), 0, "ok",
       "", k_expanded},
      {"success with html and own status",
       ok_manifest,
       returning({{"status", 7}, {"result", {{"k", 1}}}, {"html", "<b>"}}),
       7,
       {{"k", 1}},
       "<b>",
       k_expanded},
  };
  for (const Outcome& c : cases) {
    TempDir apps;
    services_->config.apps_path = apps.path().string();
    loader_ = std::make_shared<FakeAppLoader>();
    services_->apps = loader_;
    if (c.manifest) write_manifest("demo", *c.manifest);
    std::filesystem::create_directories(apps.path() / "demo");  // a folder without a manifest
    if (c.action) loader_->add("demo", "run", *c.action);
    Value r = execute(k_node, "demo", k_data);
    EXPECT_EQ(
        r, (Value{{"status", c.status}, {"result", c.result}, {"args", c.args}, {"html", c.html}}))
        << c.name;
  }
}

TEST_F(Execute, AppFailuresShowTheAppsOwnWordsAndAMissingFolderIsNamed) {
  // Real one-shot plug-ins: what they write to stderr is what the node shows.
  TempDir apps;
  services_->config.apps_path = apps.path().string();
  services_->apps = make_app_loader(services_->config);
  const std::string manifest =
      R"({"identification": "vqflow", "is_public": true, "actions": {"run": {"args": []}}})";
  struct Case {
    const char* script;  // body of main/run
    const char* shown;
  };
  const std::vector<Case> cases = {
      {"echo 'warming up' >&2; echo 'count must be an integer' >&2; exit 2",
       "[非法应用] count must be an integer"},
      {"exit 2", "[非法应用] exit status 2"},
      {"echo 'disk full' >&2; exit 3", "[未知错误] disk full (exit status 3)"},
      {"exit 5", "[未知错误] exit status 5"},
      {"echo not json", "[未知错误] the result is not JSON: "},
  };
  const Value data = {{"node_name", "Demo"}, {"action", "run"}};
  int n = 0;
  for (const Case& c : cases) {
    const std::string dir = "app" + std::to_string(n++);
    write_manifest(dir, manifest);
    const std::filesystem::path run = apps.path() / dir / "main" / "run";
    std::filesystem::create_directories(run.parent_path());
    std::ofstream(run) << "#!/bin/sh\n" << c.script << "\n";
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    Value r = execute(k_node, dir, data);
    EXPECT_EQ(r["status"], 2) << c.script;
    const std::string shown = text_form(r["result"]);
    EXPECT_EQ(shown.substr(0, std::string(c.shown).size()), c.shown) << c.script;
  }
  Value missing = execute(k_node, "nowhere", data);
  EXPECT_EQ(missing["result"], "[程序错误] no app folder nowhere under " + apps.path().string());
}

TEST_F(Execute, ArgumentsAreExpandedStoredAndPassedByName) {
  write_app("demo");
  NamedArguments seen;
  loader_->add("demo", "run", [&seen](const NamedArguments& args) {
    seen = args;
    return Value{{"status", 0}, {"result", "ok"}};
  });
  const Value data = {{"node_name", "Demo"}, {"app_dir", "ignored"}, {"action", "run"},
                      {"description", "d"},  {"action_name", "Run"}, {"n", 5},
                      {"t", true},           {"l", {"a", "b"}},      {"x,y", "@{g}"},
                      {"ip", "@{g}:80"}};
  Value r = execute(k_node, "demo", data);
  EXPECT_EQ(r["status"], 0);
  const NamedArguments expected = {{"n", "5"}, {"t", "True"}, {"l", "['a', 'b']"}, {"ip", "G:80"}};
  EXPECT_EQ(seen, expected);
  // The key holding "," is expanded and stored although it is never passed.
  EXPECT_EQ(stored(k_node, "x,y"), "G");
  EXPECT_EQ(stored(k_node, "ip"), "G:80");
  EXPECT_EQ(stored(k_node, "app_dir"), std::nullopt);
  EXPECT_EQ(r["args"],
            R"({"node_name": "Demo", "app_dir": "demo", "action": "run", "description": "d", )"
            R"("action_name": "Run", "n": "5", "t": "True", "l": "['a', 'b']", "x,y": "G", )"
            R"("ip": "G:80"})");
}

TEST_F(Execute, ReservedKeysOnlyCallsWithoutArguments) {
  write_app("demo");
  int calls = 0;
  loader_->add("demo", "run", [&calls](const NamedArguments& args) {
    ++calls;
    EXPECT_TRUE(args.empty());
    return Value{{"status", 0}, {"result", "中"}};
  });
  Value r = execute(k_node, "demo", Value{{"node_name", "名字"}, {"action", "run"}});
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(r["args"], R"({"node_name": "\u540d\u5b57", "action": "run", "app_dir": "demo"})");
}

TEST_F(Execute, SecondOfThreeArgumentsFailingStopsBeforeTheCall) {
  write_app("demo");
  int calls = 0;
  loader_->add("demo", "run", [&calls](const NamedArguments&) {
    ++calls;
    return Value{{"status", 0}, {"result", "ok"}};
  });
  const Value data = {
      {"node_name", "Demo"}, {"action", "run"}, {"a", "@{g}"}, {"b", "@{missing}"}, {"c", "@{g}"}};
  Value r = execute(k_node, "demo", data);
  EXPECT_EQ(r, (Value{{"status", 1},
                      {"result", "未找到全局变量"},
                      {"args", R"({"node_name": "Demo", "action": "run", "a": "@{g}", )"
                               R"("b": "@{missing}", "c": "@{g}", "app_dir": "demo"})"},
                      {"html", ""}}));
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(stored(k_node, "a"), "G");
  EXPECT_EQ(stored(k_node, "b"), "未找到全局变量");
  EXPECT_EQ(stored(k_node, "c"), std::nullopt);
}

TEST_F(Execute, AppDirectoryMustBeOnePlainFolderName) {
  // A valid manifest just outside the apps folder must never be read.
  write_manifest("../outside", R"({"identification": "vqflow", "is_public": 1})");
  loader_->add("../outside", "run", [](const NamedArguments&) {
    return Value{{"status", 0}, {"result", "escaped"}};
  });
  for (const std::optional<std::string>& dir :
       {std::optional<std::string>("../outside"), std::optional<std::string>("a/b"),
        std::optional<std::string>(".hidden"), std::optional<std::string>(""),
        std::optional<std::string>()}) {
    Value r = execute(k_node, dir, k_data);
    EXPECT_EQ(r["status"], 2) << dir.value_or("<absent>");
    EXPECT_EQ(r["result"].get<std::string>().rfind("[程序错误] ", 0), 0u) << r["result"];
    EXPECT_EQ(r["result"], r["html"]);
  }
  EXPECT_TRUE(loader_->loads().empty());
  EXPECT_THROW(engine_->is_identification("../outside"), AppLoadError);
}

TEST_F(Execute, FailuresThatPropagate) {
  write_manifest("broken", "{not json");
  EXPECT_THROW(execute(k_node, "broken", k_data), JsonError);
  write_app("demo");
  // A load failure must be logged with the node's name; without one it propagates.
  EXPECT_THROW(execute(k_node, "demo", Value{{"action", "run"}}), ValueError);
  EXPECT_THROW(execute(k_node, "demo", Value{{"node_name", "Demo"}}), ValueError);
  EXPECT_THROW(execute(k_node, "demo", Value("not a map")), ValueError);
}

TEST_F(Execute, InputWebhookAndTimerNodesNeedNoApp) {
  engine_->input_app = "IN";
  engine_->webhook_app = "HOOK";
  engine_->timer_app = "TIMER";
  store("IN", "text", R"({"a": "中"})");
  store("HOOK", "text", "payload");
  EXPECT_EQ(execute("IN", std::nullopt, std::nullopt),
            (Value{{"status", 0}, {"result", R"({"a": "中"})"}, {"args", "null"}, {"html", ""}}));
  EXPECT_EQ(execute("HOOK", std::nullopt, std::nullopt)["result"], "payload");
  const std::string notice = "[通知消息] 定时器执行中...";
  EXPECT_EQ(execute("TIMER", std::nullopt, std::nullopt),
            (Value{{"status", 0}, {"result", notice}, {"args", "null"}, {"html", notice}}));
  EXPECT_TRUE(loader_->loads().empty());
  engine_->input_app = "IN2";
  EXPECT_THROW(execute("IN2", std::nullopt, std::nullopt), StoreError);
}

// A reference that cannot be read is not "not found": the store failure ends
// the invocation, and the action is never called.
TEST_F(Execute, StoreFailureWhileExpandingAnArgumentPropagates) {
  write_app("demo");
  loader_->add("demo", "run", [](const NamedArguments&) -> Value {
    ADD_FAILURE() << "the action was called";
    return Value::object();
  });
  auto refusing = std::make_shared<RefusingKvStore>(services_->kv);
  services_->kv = refusing;
  const Value data = {{"node_name", "Demo"}, {"action", "run"}, {"ip", "@(a-b-c-d-e.result)"}};
  EXPECT_EQ(execute(k_node, "demo", data)["result"], "未找到 APP 变量");
  refusing->refuse_reads = true;
  EXPECT_THROW(execute(k_node, "demo", data), StoreError);
}

TEST_F(Execute, ManifestChecks) {
  write_manifest("a", R"({"identification": "vqflow", "is_public": false})");
  EXPECT_TRUE(engine_->is_identification("a"));
  EXPECT_EQ(engine_->is_public("a"), (std::pair<int, Value>{1, false}));
  write_manifest("b", R"({"identification": "VQFLOW"})");
  EXPECT_FALSE(engine_->is_identification("b"));
  EXPECT_EQ(engine_->is_public("b"), (std::pair<int, Value>{0, false}));
}

}  // namespace
}  // namespace vqflow::test
