#include "flow/vq_tree.h"

#include <fmt/format.h>

#include <map>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "base/errors.h"

namespace vqflow {

namespace {

constexpr std::string_view k_separator = "->";

// The part after the last "->": what a route ending in this id is compared with.
std::string_view last_part(std::string_view id) {
  const std::size_t at = id.rfind(k_separator);
  return at == std::string_view::npos ? id : id.substr(at + k_separator.size());
}

// Interns node ids: texts by their bytes, other JSON values by value, so that
// the text "1" and the number 1 stay different nodes.
class NodeIndex {
 public:
  explicit NodeIndex(FlowTree& tree) : tree_(tree) {
    tree_.nodes.push_back({"", true, {}});
    texts_.emplace("", FlowTree::root);
  }

  std::size_t of(const Value& id) {
    if (id.is_string()) {
      const auto& text = id.get_ref<const std::string&>();
      auto [it, added] = texts_.try_emplace(text, tree_.nodes.size());
      if (added) tree_.nodes.push_back({text, true, {}});
      return it->second;
    }
    auto [it, added] = others_.try_emplace(id, tree_.nodes.size());
    if (added) tree_.nodes.push_back({id.dump(), false, {}});
    return it->second;
  }

 private:
  FlowTree& tree_;
  std::unordered_map<std::string, std::size_t> texts_;
  std::map<Value, std::size_t> others_;
};

// "a->b->a" for the cycle that closes at nodes[from]; long cycles keep their ends.
std::string cycle_text(const FlowTree& tree, const std::vector<std::size_t>& nodes,
                       std::size_t from) {
  constexpr std::size_t k_shown = 8;
  const std::size_t length = nodes.size() - from;
  std::string text;
  for (std::size_t i = from; i < nodes.size(); ++i) {
    if (length > 2 * k_shown && i == from + k_shown) {
      text += "->...";
      i = nodes.size() - k_shown - 1;
      continue;
    }
    if (i > from) text += k_separator;
    text += tree.nodes[nodes[i]].id;
  }
  text += k_separator;
  text += tree.nodes[nodes[from]].id;
  if (length > 2 * k_shown) text += fmt::format(" ({} nodes)", length);
  return text;
}

// One pass over everything reachable from the root, without recursion: refuses
// cycles and non-text ids (both would make route texts impossible), and marks
// the nodes from which some route reaches a node that reports `end`.
std::vector<char> reachable_to_end(const FlowTree& tree, const std::vector<char>& reports) {
  enum : char { k_new = 0, k_open = 1, k_done = 2 };
  std::vector<char> state(tree.nodes.size(), k_new);
  std::vector<char> reaches(tree.nodes.size(), 0);
  struct Frame {
    std::size_t node;
    std::size_t next;
  };
  std::vector<Frame> stack;
  std::vector<std::size_t> route;  // the open nodes, for the cycle message
  stack.push_back({FlowTree::root, 0});
  route.push_back(FlowTree::root);
  state[FlowTree::root] = k_open;
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const auto& successors = tree.nodes[frame.node].successors;
    if (frame.next == successors.size()) {
      const std::size_t node = frame.node;
      bool reach = reports[node] != 0;
      for (std::size_t next : successors) reach = reach || reaches[next] != 0;
      reaches[node] = reach ? 1 : 0;
      state[node] = k_done;
      stack.pop_back();
      route.pop_back();
      continue;
    }
    const std::size_t next = successors[frame.next++];
    if (state[next] == k_done) continue;
    if (state[next] == k_open) {
      std::size_t from = 0;
      while (route[from] != next) ++from;
      throw FlowError("flow graph has a cycle: " + cycle_text(tree, route, from));
    }
    if (!tree.nodes[next].is_text) {
      throw FlowError("flow graph: node id " + tree.nodes[next].id + " is not a text");
    }
    state[next] = k_open;
    stack.push_back({next, 0});
    route.push_back(next);
  }
  return reaches;
}

}  // namespace

std::vector<std::string> VqTree::get_paths(const Value& d, const std::optional<std::string>& start,
                                           const std::optional<std::string>& end) const {
  return make_path(make_tree(make_format(d, start)), end);
}

Value VqTree::make_format(const Value& datas, const std::optional<std::string>& start) const {
  if (!datas.is_array()) throw FlowError("flow graph: the link table is not a list");
  if (!start) throw FlowError("flow graph: no start node to enumerate routes from");
  Value edges = Value::array();
  std::size_t index = 0;
  for (const Value& pair : datas) {
    if (!pair.is_array() || pair.size() < 2) {
      throw FlowError(fmt::format("flow graph: link {}: expected [source, target], got {}", index,
                                  pair.dump(-1, ' ', false, Value::error_handler_t::replace)));
    }
    edges.push_back({{"left", pair[0]}, {"right", pair[1]}});
    ++index;
  }
  edges.push_back({{"right", *start}});
  return edges;
}

FlowTree VqTree::make_tree(const Value& datas) const {
  if (!datas.is_array()) throw FlowError("flow graph: the edge list is not a list");
  FlowTree tree;
  NodeIndex index(tree);
  // Seen edges as (source, target) node numbers, so a duplicate keeps the first one's place.
  std::unordered_set<unsigned long long> seen;
  const Value root_id = "";
  for (const Value& edge : datas) {
    if (!edge.is_object() || !edge.contains("right")) {
      throw FlowError("flow graph: edge without \"right\": " +
                      edge.dump(-1, ' ', false, Value::error_handler_t::replace));
    }
    const auto left_it = edge.find("left");
    const std::size_t left = index.of(left_it == edge.end() ? root_id : *left_it);
    const std::size_t right = index.of(edge["right"]);
    const unsigned long long key = (static_cast<unsigned long long>(left) << 32) | right;
    if (seen.insert(key).second) tree.nodes[left].successors.push_back(right);
  }
  return tree;
}

std::vector<std::string> VqTree::make_path(const FlowTree& root,
                                           const std::optional<std::string>& end) const {
  std::vector<std::string> paths;
  if (root.nodes.empty()) return paths;
  std::vector<char> reports(root.nodes.size(), 0);
  if (end) {
    for (std::size_t i = 0; i < root.nodes.size(); ++i) {
      reports[i] = root.nodes[i].is_text && last_part(root.nodes[i].id) == *end ? 1 : 0;
    }
  }
  const std::vector<char> reaches = reachable_to_end(root, reports);

  std::size_t text_bytes = 0;
  std::string route;
  auto report = [&] {
    if (paths.size() >= max_paths_) {
      throw FlowError(
          fmt::format("flow graph has more than {} routes to {}; raise the bound with --max-paths",
                      max_paths_, *end));
    }
    text_bytes += route.size();
    if (text_bytes > max_text_bytes_) {
      throw FlowError(fmt::format("flow graph routes to {} exceed {} MiB of text after {} routes",
                                  *end, max_text_bytes_ >> 20, paths.size()));
    }
    paths.push_back(route);
  };

  // Invariants: `stack` holds the current route (root first); `route` is its
  // text; each frame remembers the text length before its node was added.
  struct Frame {
    std::size_t node;
    std::size_t next;
    std::size_t text_before;
  };
  std::vector<Frame> stack;
  stack.push_back({FlowTree::root, 0, 0});
  if (reports[FlowTree::root]) report();
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const auto& successors = root.nodes[frame.node].successors;
    if (frame.next == successors.size()) {
      route.resize(frame.text_before);
      stack.pop_back();
      continue;
    }
    const std::size_t next = successors[frame.next++];
    if (!reaches[next]) continue;
    const std::size_t before = route.size();
    if (!route.empty()) route += k_separator;
    route += root.nodes[next].id;
    stack.push_back({next, 0, before});
    if (reports[next]) report();
  }
  return paths;
}

}  // namespace vqflow
