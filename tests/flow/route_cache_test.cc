#include "flow/route_cache.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "run/auto.h"

namespace vqflow {
namespace {

Value edge(const char* from, const char* to) {
  return {{"shape", "vqEdge"}, {"source", {{"cell", from}}}, {"target", {{"cell", to}}}};
}

std::shared_ptr<const Value> document(Value cells) {
  return std::make_shared<const Value>(Value{{"cells", std::move(cells)}});
}

TEST(RouteCache, BuildsLinksAndRoutesOncePerDocumentAndEnds) {
  RouteCache cache;
  const VqTree tree;
  auto flow = document(Value::array({edge("s", "a"), edge("a", "e"), edge("s", "e")}));
  auto links = cache.links(flow);
  EXPECT_EQ(cache.links(flow), links);
  EXPECT_EQ(*links, Auto::make_node_link((*flow)["cells"]));

  auto routes = cache.paths(links, std::string("s"), std::string("e"), tree);
  EXPECT_EQ(*routes, (std::vector<std::string>{"s->a->e", "s->e"}));
  EXPECT_EQ(cache.paths(links, std::string("s"), std::string("e"), tree), routes);
  EXPECT_EQ(*cache.paths(links, std::string("a"), std::string("e"), tree),
            std::vector<std::string>{"a->e"});
  // Another bound is another answer.
  EXPECT_THROW(cache.paths(links, std::string("s"), std::string("e"), VqTree(1)), FlowError);

  // An equal document elsewhere is a document of its own.
  auto other = document((*flow)["cells"]);
  EXPECT_NE(cache.links(other), links);
  EXPECT_EQ(*cache.links(other), *links);
}

TEST(RouteCache, FailuresAreNotKept) {
  RouteCache cache;
  auto cyclic = cache.links(document(Value::array({edge("s", "a"), edge("a", "s")})));
  for (int i = 0; i < 2; ++i) {
    EXPECT_THROW(cache.paths(cyclic, std::string("s"), std::string("e"), VqTree()), FlowError);
  }
  EXPECT_EQ(routes_of(nullptr, cache.links(document(Value::array({edge("s", "e")}))),
                      std::string("s"), std::string("e"), VqTree()),
            std::vector<std::string>{"s->e"});
}

}  // namespace
}  // namespace vqflow
