#include "context/node_settings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/errors.h"

namespace vqflow {
namespace {

using ::testing::HasSubstr;

TEST(NodeSettings, NameOfANodeFromTheStoredTextOrObject) {
  const std::string text = R"({"a": {"node_name": "审核"}, "b": {"node_name": 7}})";
  EXPECT_EQ(node_name(text, "a"), "审核");
  EXPECT_EQ(node_name(text, "b"), 7);  // unconverted
  EXPECT_EQ(node_name(parse_json(text), "a"), "审核");
}

TEST(NodeSettings, MissingSettingsEntriesAndNamesFailWithOneText) {
  struct Case {
    Value settings;
    const char* node;
    const char* message;
  };
  const std::vector<Case> cases = {
      {Value(), "a", "node settings: none are stored for this playbook"},
      {5, "a", "node settings: none are stored for this playbook"},
      {"{not json", "a", "node settings: not valid JSON: "},
      {"[1]", "a", "node settings: not a JSON object"},
      {R"({"b": {}})", "a", "node settings: no entry for node a"},
      {R"({"a": "name"})", "a", "node settings: no entry for node a"},
      {R"({"a": {"name": "x"}})", "a", "node settings: no \"node_name\" for node a"},
  };
  for (const Case& c : cases) {
    try {
      node_name(c.settings, c.node);
      ADD_FAILURE() << c.settings.dump() << ": no error";
    } catch (const FlowError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.message)) << c.settings.dump();
    }
  }
}

}  // namespace
}  // namespace vqflow
