// Route enumeration over the two shapes that stress it: one long route (depth)
// and many routes sharing prefixes (count).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "flow/vq_tree.h"

namespace {

using vqflow::Value;

// Node ids shaped like the editor's (36-character uuids).
std::string node_id(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", n, n * 7919);
  return text;
}

Value chain(int nodes) {
  Value d = Value::array();
  for (int i = 1; i < nodes; ++i) d.push_back(Value::array({node_id(i - 1), node_id(i)}));
  return d;
}

// d0 -> (d0a | d0b) -> d1 -> ... -> d{count}: 2^count routes.
Value diamonds(int count) {
  Value d = Value::array();
  for (int i = 0; i < count; ++i) {
    const std::string from = node_id(3 * i), a = node_id(3 * i + 1), b = node_id(3 * i + 2),
                      to = node_id(3 * i + 3);
    d.push_back(Value::array({from, a}));
    d.push_back(Value::array({from, b}));
    d.push_back(Value::array({a, to}));
    d.push_back(Value::array({b, to}));
  }
  return d;
}

void BM_ChainPaths(benchmark::State& state) {
  const int nodes = static_cast<int>(state.range(0));
  const Value d = chain(nodes);
  const vqflow::VqTree tree;
  for (auto _ : state) {
    auto paths = tree.get_paths(d, node_id(0), node_id(nodes - 1));
    benchmark::DoNotOptimize(paths);
  }
  state.SetItemsProcessed(state.iterations() * nodes);
}
BENCHMARK(BM_ChainPaths)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_DiamondPaths(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const Value d = diamonds(count);
  const vqflow::VqTree tree;
  std::size_t routes = 0;
  for (auto _ : state) {
    auto paths = tree.get_paths(d, node_id(0), node_id(3 * count));
    routes = paths.size();
    benchmark::DoNotOptimize(paths);
  }
  state.counters["routes"] = static_cast<double>(routes);
  state.SetItemsProcessed(state.iterations() * static_cast<long long>(routes));
}
BENCHMARK(BM_DiamondPaths)->Arg(13)->Unit(benchmark::kMicrosecond);

// Only the enumeration stage, over a prepared successor structure.
void BM_DiamondMakePath(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const vqflow::VqTree tree;
  const vqflow::FlowTree root = tree.make_tree(tree.make_format(diamonds(count), node_id(0)));
  for (auto _ : state) {
    auto paths = tree.make_path(root, node_id(3 * count));
    benchmark::DoNotOptimize(paths);
  }
}
BENCHMARK(BM_DiamondMakePath)->Arg(13)->Unit(benchmark::kMicrosecond);

}  // namespace
