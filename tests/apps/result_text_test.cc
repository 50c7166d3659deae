#include "apps/result_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vqflow::apps {
namespace {

Value outcome(Value status, Value result, Value html) {
  return {{"status", std::move(status)},
          {"result", std::move(result)},
          {"args", "{}"},
          {"html", std::move(html)}};
}

TEST(CaptureResult, WhatIsStoredAndLoggedForAnOutcome) {
  struct Case {
    const char* name;
    Value outcome;
    std::string app_text;
    Value app_html;
    std::string delivered_text;
  };
  const std::vector<Case> cases = {
      {"map result, no html", outcome(0, {{"k", "中"}}, ""), R"({"k": "\u4e2d"})",
       R"({"k": "\u4e2d"})", R"({"k": "中"})"},
      {"text result with html", outcome(0, "hello", "<b>hi</b>"), "hello", "<b>hi</b>", "hello"},
      {"JSON text is encoded once more", outcome(1, "true", "   "), R"("true")", "   ",
       R"("true")"},
      {"absent html reads as None", outcome(1, "x", Value()), "x", Value(), "x"},
      {"html that is empty in text form", outcome(2, 3, ""), "3", "3", "3"},
      {"html that is a value", outcome(0, "x", Value::array({1})), "x", Value::array({1}), "x"},
      {"html that is no text but has a text form", outcome(0, "x", 0), "x", 0, "x"},
      {"absent result", outcome(0, Value(), "h"), "null", "h", "null"},
      {"members missing", Value::object(), "null", Value(), "null"},
  };
  for (const Case& c : cases) {
    const CapturedResult app = capture_app_result(c.outcome);
    EXPECT_EQ(app.text, c.app_text) << c.name;
    EXPECT_EQ(app.html, c.app_html) << c.name;
    EXPECT_EQ(app.status, c.outcome.value("status", Value())) << c.name;

    const CapturedResult delivered = capture_delivered_result(c.outcome);
    EXPECT_EQ(delivered.text, c.delivered_text) << c.name;
    EXPECT_EQ(delivered.html, Value(c.delivered_text)) << c.name;  // always the result text
    EXPECT_EQ(delivered.status, c.outcome.value("status", Value())) << c.name;
  }
}

TEST(DropPluginMarker, OnlyATrueAppMemberOfMapDataGoes) {
  struct Case {
    const char* name;
    std::optional<Value> info;
    std::optional<Value> expected;
  };
  const Value kept = {{"app_dir", "d"}, {"data", {{"node_name", "n"}, {"app", ""}}}};
  const std::vector<Case> cases = {
      {"absent entry", std::nullopt, std::nullopt},
      {"entry not a map", Value("x"), Value("x")},
      {"no data", Value{{"app_dir", "d"}}, Value{{"app_dir", "d"}}},
      {"data not a map", Value{{"data", Value::array({"app"})}},
       Value{{"data", Value::array({"app"})}}},
      {"no marker", Value{{"data", {{"a", 1}}}}, Value{{"data", {{"a", 1}}}}},
      {"false marker", kept, kept},
      {"true marker", Value{{"app_dir", "d"}, {"data", {{"app", "plugin"}, {"a", 1}}}},
       Value{{"app_dir", "d"}, {"data", {{"a", 1}}}}},
  };
  for (const Case& c : cases) {
    std::optional<Value> info = c.info;
    drop_plugin_marker(info);
    EXPECT_EQ(info, c.expected) << c.name;
  }
}

}  // namespace
}  // namespace vqflow::apps
