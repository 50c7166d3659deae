#include "plugins/builtin_apps.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "plugins/plugin_loader.h"
#include "support/test_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

using test::run_sync;

Value call(const std::string& app, const std::string& action, NamedArguments args) {
  auto loaded = load_builtin_action(app, action);
  if (!loaded) throw std::logic_error("not a built-in app: " + app);
  return run_sync(loaded->call(std::move(args)));
}

Value result_of(const std::string& app, const std::string& action, NamedArguments args) {
  Value answer = call(app, action, std::move(args));
  EXPECT_EQ(answer["status"], 0) << answer.dump();
  return answer["result"];
}

TEST(BuiltinApps, ManifestsCarryWhatTheInvocationChecks) {
  for (const auto& name : builtin_app_names()) {
    auto text = builtin_app_manifest(name);
    ASSERT_TRUE(text.has_value()) << name;
    Value manifest = parse_json(*text);
    EXPECT_EQ(manifest["identification"], "vqflow") << name;
    EXPECT_TRUE(manifest.contains("is_public")) << name;
    EXPECT_FALSE(manifest["actions"].empty()) << name;
  }
  EXPECT_FALSE(builtin_app_manifest("text_toolkit").has_value());
  EXPECT_FALSE(builtin_app_manifest("").has_value());
  EXPECT_EQ(load_builtin_action("text_toolkit", "upper"), nullptr);
}

TEST(BuiltinApps, UnknownActionsAndArgumentsAreRefused) {
  EXPECT_THROW(load_builtin_action("vq_text", "nope"), AppLoadError);
  EXPECT_EQ(call("vq_noop", "run", {}), parse_json(R"({"status": 0, "result": "ok"})"));
  try {
    call("vq_noop", "run", {{"extra", "1"}});
    ADD_FAILURE() << "expected AppArgumentError";
  } catch (const AppArgumentError& e) {
    EXPECT_STREQ(e.what(), "app vq_noop action run: unexpected argument extra");
  }
  try {
    call("vq_text", "replace", {{"text", "a"}, {"old", "a"}});
    ADD_FAILURE() << "expected AppArgumentError";
  } catch (const AppArgumentError& e) {
    EXPECT_STREQ(e.what(), "app vq_text action replace: missing required argument new");
  }
}

TEST(BuiltinApps, TextActions) {
  struct Case {
    std::string action;
    NamedArguments args;
    Value expected;
  };
  const std::vector<Case> cases = {
      {"upper", {{"text", "héllo wörld ß"}}, "HÉLLO WÖRLD ß"},
      {"lower", {{"text", "ÀÉÎ Straße"}}, "àéî straße"},
      {"upper",
       {{"text",
         "a\xff"
         "b"}},
       "A\xff"
       "B"},
      {"strip", {{"text", " \t a b \n"}}, "a b"},
      {"strip", {{"text", "\u3000x\u00a0y\u3000"}}, "x\u00a0y"},
      {"strip", {{"text", "   "}}, ""},
      {"replace", {{"text", "a-b-c"}, {"old", "-"}, {"new", "+"}}, "a+b+c"},
      {"replace", {{"text", "aaa"}, {"old", "aa"}, {"new", "b"}}, "ba"},
      {"split", {{"text", " a  b\tc \n"}}, Value::array({"a", "b", "c"})},
      {"split", {{"text", "a,,b"}, {"sep", ","}}, Value::array({"a", "", "b"})},
      {"split", {{"text", ""}}, Value::array()},
      {"length", {{"text", "héllo"}}, 5},
      {"length", {{"text", "\xff\xfe"}}, 2},
      {"length", {{"text", "😀"}}, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(result_of("vq_text", c.action, c.args), c.expected)
        << c.action << " " << c.args.front().second;
  EXPECT_THROW(call("vq_text", "replace", {{"text", "a"}, {"old", ""}, {"new", "b"}}),
               AppCallError);
  EXPECT_THROW(call("vq_text", "split", {{"text", "a"}, {"sep", ""}}), AppCallError);
}

TEST(BuiltinApps, RegexMatchIsUnicodeAwareAndBounded) {
  EXPECT_EQ(
      result_of("vq_text", "regex_match", {{"text", "id=42, x"}, {"pattern", R"((\w+)=(\d+))"}}),
      Value::array({"id=42", "id", "42"}));
  EXPECT_EQ(result_of("vq_text", "regex_match", {{"text", "café"}, {"pattern", R"(^\w+$)"}}),
            Value::array({"café"}));
  EXPECT_EQ(result_of("vq_text", "regex_match", {{"text", "ab"}, {"pattern", "(x)?b"}}),
            Value::array({"b", nullptr}));
  EXPECT_EQ(result_of("vq_text", "regex_match", {{"text", "abc"}, {"pattern", "z"}}),
            Value::array());

  try {
    call("vq_text", "regex_match", {{"text", "x"}, {"pattern", "(a"}});
    ADD_FAILURE() << "expected AppCallError";
  } catch (const AppCallError& e) {
    EXPECT_NE(std::string(e.what()).find("pattern: missing closing parenthesis at offset 2"),
              std::string::npos)
        << e.what();
  }
  // Catastrophic backtracking hits the match limit instead of spinning.
  EXPECT_THROW(
      call("vq_text", "regex_match", {{"text", std::string(30, 'a') + "!"}, {"pattern", "(a+)+$"}}),
      AppCallError);
  EXPECT_THROW(call("vq_text", "regex_match", {{"text", "\xff"}, {"pattern", "."}}), AppCallError);
}

// Bytes that are not UTF-8 count one by one and are kept as they are.
TEST(BuiltinApps, TextActionsKeepInvalidBytesOneByOne) {
  struct Case {
    std::string action;
    std::string text;
    Value expected;
  };
  const std::vector<Case> cases = {
      {"length", "\xE2\x82", 2},          // a cut-short sequence: two characters
      {"length", "a\xF0\x9F\x98", 4},     // a cut-short emoji
      {"length", "\xC0\x80", 2},          // an overlong form
      {"length", "\xED\xA0\x80", 3},      // a surrogate
      {"length", "\xF4\x90\x80\x80", 4},  // beyond U+10FFFF
      {"upper", "\xE2\x82\xC3\xA9x", "\xE2\x82\xC3\x89X"},
      {"lower",
       "\xC0\xC1"
       "A\xED\xA0\x80",
       "\xC0\xC1"
       "a\xED\xA0\x80"},
      {"strip", "\xff \xE2\x80\x80", "\xff"},
      {"strip", "\xE2\x80\x80\xE2\x80 ", "\xE2\x80"},
      {"split",
       "a\xE2\x80 b\xE2\x80\x80"
       "c",
       Value::array({"a\xE2\x80", "b", "c"})},
  };
  for (const auto& c : cases)
    EXPECT_EQ(result_of("vq_text", c.action, {{"text", c.text}}), c.expected)
        << c.action << " " << testing::PrintToString(c.text);
}

TEST(BuiltinApps, RegexMatchGroupsAndFailuresSayWhatHappened) {
  struct Case {
    std::string text, pattern;
    Value expected;
  };
  const std::vector<Case> cases = {
      {"b", "(a)|(b)", Value::array({"b", nullptr, "b"})},
      {"a", "(a)(x)?", Value::array({"a", "a", nullptr})},
      {"", "", Value::array({""})},
      {"a\nb", "^b$", Value::array()},
      {"a\nb", "(?m)^b$", Value::array({"b"})},
  };
  for (const auto& c : cases)
    EXPECT_EQ(result_of("vq_text", "regex_match", {{"text", c.text}, {"pattern", c.pattern}}),
              c.expected)
        << c.pattern;

  struct Failure {
    std::string text, pattern, message;
  };
  const std::string context = "app vq_text action regex_match: ";
  const std::vector<Failure> failures = {
      {"x", "(a", context + "pattern: missing closing parenthesis at offset 2"},
      {"xy", "x(?=y\\K)",
       context + "pattern: \\K is not allowed in lookarounds (but see "
                 "PCRE2_EXTRA_ALLOW_LOOKAROUND_BSK) at offset 8"},
      {"x", "a\xff", context + "pattern: UTF-8 error: illegal byte (0xfe or 0xff) at offset 1"},
      {"x", std::string(64 * 1024 + 1, 'a'),
       context + "pattern: pattern string is longer than the limit set by the application at "
                 "offset 0"},
      {std::string(30, 'a') + "!", "(a+)+$",
       context + "the pattern takes too many steps on this text"},
      {"a\x80", ".", context + "text: UTF-8 error: isolated byte with 0x80 bit set"},
  };
  for (const auto& f : failures) {
    try {
      call("vq_text", "regex_match", {{"text", f.text}, {"pattern", f.pattern}});
      ADD_FAILURE() << "expected AppCallError for " << f.message;
    } catch (const AppCallError& e) {
      EXPECT_EQ(e.what(), f.message);
    }
  }
  // The longest pattern allowed still compiles.
  const std::string comment = "(?#" + std::string(64 * 1024 - 4, 'c') + ")";
  EXPECT_EQ(result_of("vq_text", "regex_match", {{"text", "a"}, {"pattern", comment}}),
            Value::array({""}));
}

TEST(BuiltinApps, JsonPickStepsByDotsOnly) {
  const std::string doc = R"({"0": "zero", "": {"": "empty"}, "l": [1, 2, 3], "s": "text"})";
  struct Case {
    std::string path;
    Value expected;  // null: no such member
  };
  const std::vector<Case> cases = {
      {"0", "zero"},   // an integer step names a member of a map
      {".", "empty"},  // empty steps name the empty member
      {"l.-0", 1},
      {"l.002", 3},
      {"l.-3", 1},
      {"l.+1", nullptr},
      {"l.-4", nullptr},
      {"l.3", nullptr},
      {"l.1234567890123456789", nullptr},  // too long to be an index
      {"l.", nullptr},
      {"s.0", nullptr},  // texts have no members
      {"l.0.x", nullptr},
  };
  for (const auto& c : cases) {
    Value answer = call("vq_json", "pick", {{"json", doc}, {"path", c.path}});
    if (c.expected.is_null()) {
      EXPECT_EQ(answer["status"], 2) << c.path << " " << answer.dump();
    } else {
      EXPECT_EQ(answer, Value({{"status", 0}, {"result", c.expected}})) << c.path;
    }
  }
}

TEST(BuiltinApps, JsonPick) {
  const std::string doc = R"({"a": {"b": [10, {"c": "deep"}]}, "x.y": 1})";
  struct Case {
    std::string path;
    Value expected;
  };
  const std::vector<Case> cases = {
      {"a.b.0", 10},         {"a.b.1.c", "deep"},
      {"a.b.-1.c", "deep"},  {"a.b", parse_json(R"([10, {"c": "deep"}])")},
      {"", parse_json(doc)},
  };
  for (const auto& c : cases)
    EXPECT_EQ(result_of("vq_json", "pick", {{"json", doc}, {"path", c.path}}), c.expected)
        << c.path;

  Value missing = call("vq_json", "pick", {{"json", doc}, {"path", "a.b.5"}});
  EXPECT_EQ(missing["status"], 2);
  EXPECT_EQ(missing["result"], "no member \"a.b.5\" in the JSON text");
  EXPECT_EQ(result_of("vq_json", "pick", {{"json", doc}, {"path", "a.zz"}, {"default", "none"}}),
            "none");

  EXPECT_THROW(call("vq_json", "pick", {{"json", "{oops"}, {"path", "a"}}), AppCallError);
  // Hostile nesting fails cleanly instead of exhausting the stack.
  EXPECT_THROW(call("vq_json", "pick", {{"json", std::string(100000, '[')}, {"path", ""}}),
               AppCallError);
}

TEST(BuiltinApps, JsonBuild) {
  EXPECT_EQ(result_of("vq_json", "build", {{"key", "n"}, {"value", "5"}}),
            parse_json(R"({"n": 5})"));
  EXPECT_EQ(result_of("vq_json", "build",
                      {{"key", "s"}, {"value", "plain text"}, {"base", R"({"a": [1]})"}}),
            parse_json(R"({"a": [1], "s": "plain text"})"));
  EXPECT_EQ(result_of("vq_json", "build", {{"key", "o"}, {"value", R"({"k": true})"}}),
            parse_json(R"({"o": {"k": true}})"));
  EXPECT_THROW(call("vq_json", "build", {{"key", "k"}, {"value", "1"}, {"base", "[1]"}}),
               AppCallError);
}

TEST(BuiltinApps, LoaderFindsThemBeforeAnyFolder) {
  test::TempDir dir;
  // A folder with the same name must not shadow the built-in app.
  std::filesystem::create_directories(dir.path() / "vq_noop" / "main");
  Config config;
  config.apps_path = dir.path().string();
  auto loader = make_app_loader(config);
  EXPECT_EQ(run_sync(loader->load("vq_noop", "run")->call({})),
            parse_json(R"({"status": 0, "result": "ok"})"));
  EXPECT_EQ(run_sync(loader->load("vq_text", "upper")->call({{"text", "abc"}}))["result"], "ABC");
}

}  // namespace
}  // namespace vqflow
