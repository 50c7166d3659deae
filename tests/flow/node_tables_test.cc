#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/errors.h"
#include "run/auto.h"

namespace vqflow {
namespace {

using ::testing::HasSubstr;

Value edge(const char* from, const char* to, const char* shape = "vqEdge") {
  return {
      {"shape", shape}, {"id", "edge"}, {"source", {{"cell", from}}}, {"target", {{"cell", to}}}};
}

Value node(const char* id, const char* name) {
  return {{"shape", "html"}, {"id", id}, {"data", {{"name", name}, {"x", 1}}}};
}

const Value k_cells = Value::array({
    node("s", "开始"),
    edge("s", "a"),
    node("a", "App A"),
    edge("a", "e"),
    edge("a", "e"),
    edge("s", "b", "VqEdge"),
    edge("s", "b", "vqedge"),
    {{"shape", "other"}},
    node("a", "App A2"),
    edge("e", "x"),
    node("e", "结束"),
});

TEST(NodeTablesTest, LinkTableKeepsEveryEdgeInCellOrder) {
  EXPECT_EQ(Auto::make_node_link(k_cells),
            Value::parse(R"([["s", "a"], ["a", "e"], ["a", "e"], ["e", "x"]])"));
  EXPECT_EQ(Auto::make_node_link(Value::array({node("s", "x")})), Value::array());
}

TEST(NodeTablesTest, OutDegreesCountDuplicatesAndSkipTheEndNode) {
  EXPECT_EQ(Auto::make_node_list(k_cells).dump(), R"({"s":1,"a":2,"e":1})");
  EXPECT_EQ(Auto::make_node_list(k_cells, std::string("e")).dump(), R"({"s":1,"a":2})");
  EXPECT_EQ(Auto::make_node_list(k_cells, std::string("a")).dump(), R"({"s":1,"e":1})");
}

TEST(NodeTablesTest, NameTableKeepsTheLaterName) {
  EXPECT_EQ(Auto::make_node_name(k_cells).dump(),
            Value({{"s", "开始"}, {"a", "App A2"}, {"e", "结束"}}).dump());
}

TEST(NodeTablesTest, MalformedCellsFailWithTheirPlace) {
  struct Case {
    Value cells;
    const char* error;
  };
  const std::vector<Case> cases = {
      {Value::array({edge("s", "a"), Value::object()}), "cell 1: \"shape\" is missing"},
      {Value::array({{{"shape", "vqEdge"}, {"target", {{"cell", "a"}}}}}),
       "cell 0: \"source\" is missing"},
      {Value::array({{{"shape", "vqEdge"}, {"source", {{"cell", "a"}}}, {"target", "a"}}}),
       "cell 0: cannot read \"target.cell\""},
      {Value::array({Value::array()}), "cell 0: cannot read \"shape\""},
      {Value::object(), "\"cells\" is not a list"},
  };
  for (const auto& c : cases) {
    try {
      Auto::make_node_link(c.cells);
      ADD_FAILURE() << "no error for " << c.cells.dump();
    } catch (const FlowError& e) {
      EXPECT_THAT(e.what(), HasSubstr(c.error));
    }
  }
  EXPECT_THROW(Auto::make_node_name(Value::array({{{"shape", "html"}, {"id", "a"}}})), FlowError);
}

}  // namespace
}  // namespace vqflow
