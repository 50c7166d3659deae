#include "flow/vq_tree.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/errors.h"

namespace vqflow {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Paths = std::vector<std::string>;

Value links(std::initializer_list<std::pair<const char*, const char*>> pairs) {
  Value out = Value::array();
  for (const auto& [from, to] : pairs) out.push_back(Value::array({from, to}));
  return out;
}

// Chains `count` diamonds: d0 -> (d0a | d0b) -> d1 -> ... -> d{count}.
Value diamonds(int count) {
  Value out = Value::array();
  for (int i = 0; i < count; ++i) {
    const std::string from = "d" + std::to_string(i), to = "d" + std::to_string(i + 1);
    out.push_back(Value::array({from, from + "a"}));
    out.push_back(Value::array({from, from + "b"}));
    out.push_back(Value::array({from + "a", to}));
    out.push_back(Value::array({from + "b", to}));
  }
  return out;
}

std::string flow_error(const Value& d, const std::optional<std::string>& start,
                       const std::optional<std::string>& end, const VqTree& tree = VqTree()) {
  try {
    tree.get_paths(d, start, end);
  } catch (const FlowError& e) {
    return e.what();
  }
  return "no error";
}

struct PathCase {
  const char* name;
  Value d;
  std::optional<std::string> start;
  std::optional<std::string> end;
  Paths expected;
};

TEST(VqTreeTest, RoutesComeInDepthFirstLinkTableOrder) {
  const std::vector<PathCase> cases = {
      {"two routes",
       links({{"s", "a"}, {"a", "e"}, {"s", "b"}, {"b", "e"}}),
       "s",
       "e",
       {"s->a->e", "s->b->e"}},
      {"edges of b first",
       links({{"s", "b"}, {"b", "e"}, {"s", "a"}, {"a", "e"}}),
       "s",
       "e",
       {"s->b->e", "s->a->e"}},
      {"successor order is first occurrence",
       links({{"a", "e"}, {"s", "b"}, {"s", "a"}, {"b", "e"}}),
       "s",
       "e",
       {"s->b->e", "s->a->e"}},
      {"diamond",
       links({{"s", "a"}, {"s", "b"}, {"a", "c"}, {"b", "c"}, {"c", "e"}}),
       "s",
       "e",
       {"s->a->c->e", "s->b->c->e"}},
      {"start is end", links({{"s", "a"}}), "s", "s", {"s"}},
      {"empty table, start is end", Value::array(), "x", "x", {"x"}},
      {"empty table", Value::array(), "s", "e", {}},
      {"no table edge reaches end", links({{"s", "a"}}), "s", "e", {}},
      {"absent end", links({{"s", "e"}}), "s", std::nullopt, {}},
      {"duplicate edge adds nothing",
       links({{"s", "a"}, {"s", "a"}, {"a", "e"}, {"a", "e"}}),
       "s",
       "e",
       {"s->a->e"}},
      {"start inside the graph",
       links({{"s", "a"}, {"a", "b"}, {"b", "e"}}),
       "a",
       "e",
       {"a->b->e"}},
      // The last "->" part is compared, so an id holding "->" ends where its tail says.
      {"id with arrow not recognised as end",
       links({{"s", "a->b"}, {"a->b", "e"}}),
       "s",
       "a->b",
       {}},
      {"id with arrow matches its tail",
       links({{"s", "a->b"}, {"a->b", "e"}}),
       "s",
       "b",
       {"s->a->b"}},
      // Reported each time the walk stands on the end, and the walk goes on past it.
      {"walk continues past end",
       links({{"s", "e"}, {"e", "z->e"}}),
       "s",
       "e",
       {"s->e", "s->e->z->e"}},
      // A link from the id "" hangs under the virtual root, before the start.
      {"empty id is the root",
       links({{"", "x"}, {"x", "e"}, {"s", "e"}}),
       "s",
       "e",
       {"x->e", "s->e"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VqTree().get_paths(c.d, c.start, c.end), c.expected) << c.name;
  }
}

TEST(VqTreeTest, ThirteenDiamondsGiveEveryRouteOnce) {
  const Paths paths = VqTree().get_paths(diamonds(13), "d0", "d13");
  ASSERT_EQ(paths.size(), 8192u);
  EXPECT_EQ(paths.front(),
            "d0->d0a->d1->d1a->d2->d2a->d3->d3a->d4->d4a->d5->d5a->d6->d6a->d7->"
            "d7a->d8->d8a->d9->d9a->d10->d10a->d11->d11a->d12->d12a->d13");
  EXPECT_TRUE(paths[1].ends_with("d11a->d12->d12b->d13")) << paths[1];
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), paths.size());
}

TEST(VqTreeTest, CycleFailsInsteadOfRecursingForever) {
  EXPECT_THAT(flow_error(links({{"s", "a"}, {"a", "b"}, {"b", "a"}, {"b", "e"}}), "s", "e"),
              HasSubstr("flow graph has a cycle: a->b->a"));
  EXPECT_THAT(flow_error(links({{"s", "s"}}), "s", "e"), HasSubstr("cycle: s->s"));
  // Reachable from the start but leading nowhere near the end still fails.
  EXPECT_THAT(flow_error(links({{"s", "e"}, {"s", "x"}, {"x", "y"}, {"y", "x"}}), "s", "e"),
              HasSubstr("cycle: x->y->x"));
  // A cycle the start cannot reach is harmless.
  EXPECT_THAT(VqTree().get_paths(links({{"s", "e"}, {"x", "y"}, {"y", "x"}}), "s", "e"),
              ElementsAre("s->e"));
}

TEST(VqTreeTest, RouteBoundStopsEnumeration) {
  EXPECT_EQ(VqTree(8192).get_paths(diamonds(13), "d0", "d13").size(), 8192u);
  const std::string error = flow_error(diamonds(13), "d0", "d13", VqTree(8191));
  EXPECT_THAT(error, HasSubstr("more than 8191 routes"));
  EXPECT_THAT(error, HasSubstr("--max-paths"));
  // Far more routes than the bound (2^40) fails quickly instead of hanging.
  EXPECT_THAT(flow_error(diamonds(40), "d0", "d40"), HasSubstr("more than 10000 routes"));
  // So does a huge graph whose routes never reach the end.
  EXPECT_EQ(VqTree().get_paths(diamonds(40), "d0", "nowhere"), Paths{});
}

TEST(VqTreeTest, RouteTextBoundStopsEnumeration) {
  EXPECT_THAT(flow_error(diamonds(4), "d0", "d4", VqTree(10000, 100)), HasSubstr("MiB of text"));
}

TEST(VqTreeTest, DeepChainNeedsNoDeepStack) {
  constexpr int k_nodes = 100000;
  Value d = Value::array();
  std::string expected = "n0";
  for (int i = 1; i < k_nodes; ++i) {
    d.push_back(Value::array({"n" + std::to_string(i - 1), "n" + std::to_string(i)}));
    expected += "->n" + std::to_string(i);
  }
  const Paths paths = VqTree().get_paths(d, "n0", "n" + std::to_string(k_nodes - 1));
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(paths[0], expected);
  // A back edge at the bottom of the chain is found too.
  d.push_back(Value::array({"n" + std::to_string(k_nodes - 1), "n0"}));
  EXPECT_THAT(flow_error(d, "n0", "n5"),
              HasSubstr("flow graph has a cycle: n0->n1->n2->n3->n4->n5->n6->n7->...->n99992->"));
  EXPECT_THAT(flow_error(d, "n0", "n5"), HasSubstr("->n99999->n0 (100000 nodes)"));
}

TEST(VqTreeTest, MalformedLinkTableFails) {
  EXPECT_THAT(flow_error(Value::array({Value::array({"s"})}), "s", "e"),
              HasSubstr("link 0: expected [source, target]"));
  EXPECT_THAT(flow_error(Value::array({"se"}), "s", "e"), HasSubstr("link 0"));
  EXPECT_THAT(flow_error(Value::object(), "s", "e"), HasSubstr("not a list"));
  EXPECT_THAT(flow_error(links({{"s", "e"}}), std::nullopt, "e"), HasSubstr("no start node"));
  // A route cannot be written through a node whose id is not a text.
  Value d = Value::array({Value::array({"s", 5}), Value::array({5, "e"})});
  EXPECT_THAT(flow_error(d, "s", "e"), HasSubstr("node id 5 is not a text"));
  // Unless no route from the start passes through it.
  d.push_back(Value::array({"s", "e"}));
  EXPECT_THAT(VqTree().get_paths(d, "e", "e"), ElementsAre("e"));
}

TEST(VqTreeTest, StagesCanBeCalledOneByOne) {
  const VqTree tree;
  const Value format = tree.make_format(links({{"s", "e"}}), "s");
  EXPECT_EQ(format, Value::parse(R"([{"left": "s", "right": "e"}, {"right": "s"}])"));
  const FlowTree root = tree.make_tree(format);
  ASSERT_EQ(root.nodes.size(), 3u);
  EXPECT_EQ(root.nodes[FlowTree::root].successors, std::vector<std::size_t>{1});
  EXPECT_EQ(root.nodes[1].id, "s");
  EXPECT_THAT(tree.make_path(root, "e"), ElementsAre("s->e"));
  // make_tree accepts any edge list; text "1" and number 1 are different nodes.
  const FlowTree mixed = tree.make_tree(Value::parse(R"([{"left": "1", "right": 1}])"));
  EXPECT_EQ(mixed.nodes.size(), 3u);
}

}  // namespace
}  // namespace vqflow
