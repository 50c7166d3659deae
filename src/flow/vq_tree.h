#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "value/value.h"

namespace vqflow {

inline constexpr std::size_t k_max_paths_default = 10000;
// Total bytes of route text one enumeration may produce; keeps a graph whose
// routes are both many and long from exhausting memory.
inline constexpr std::size_t k_max_path_text_bytes = std::size_t{64} << 20;

// The successor structure of a flow graph: every node id once, each node's
// successors in the order its outgoing edges first occur. Node 0 is the
// virtual root "" (a node whose id is "" is that root). The structure may hold
// cycles; make_path refuses them.
struct FlowTree {
  struct Node {
    std::string id;       // the id; for a non-text id its JSON text
    bool is_text = true;  // false when the id in the link table was not a text
    std::vector<std::size_t> successors;
  };
  static constexpr std::size_t root = 0;
  std::vector<Node> nodes;
};

// Enumerates every route of a flow graph from a start node to an end node, as
// texts of node ids joined by "->", depth first, successors in link-table order.
// A route is reported each time the walk stands on the end node (and the walk
// goes on past it). Stateless apart from its bounds; safe to share between threads.
class VqTree {
 public:
  explicit VqTree(std::size_t max_paths = k_max_paths_default,
                  std::size_t max_text_bytes = k_max_path_text_bytes)
      : max_paths_(max_paths), max_text_bytes_(max_text_bytes) {}

  // make_format, make_tree and make_path in turn. Throws FlowError for a
  // malformed link table, an absent start, a non-text node id on a route, a
  // cycle reachable from the start, or more routes than the bounds allow.
  // An absent end yields no routes.
  std::vector<std::string> get_paths(const Value& d, const std::optional<std::string>& start,
                                     const std::optional<std::string>& end) const;

  // The edge list: {"left": source, "right": target} per pair, then {"right": start}.
  Value make_format(const Value& datas, const std::optional<std::string>& start) const;

  // The successor structure of an edge list; a map without "left" hangs its
  // "right" under the virtual root. Duplicate edges add nothing.
  FlowTree make_tree(const Value& datas) const;

  // The routes of `root` that end at `end`, in depth-first pre-order. Never
  // recurses: the walk keeps an explicit stack, so any depth is fine.
  std::vector<std::string> make_path(const FlowTree& root,
                                     const std::optional<std::string>& end) const;

  std::size_t max_paths() const { return max_paths_; }

 private:
  std::size_t max_paths_;
  std::size_t max_text_bytes_;
};

}  // namespace vqflow
