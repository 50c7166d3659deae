#include "flow/route_cache.h"

#include "flow/node_tables.h"

namespace vqflow {

std::shared_ptr<const Value> RouteCache::links(const std::shared_ptr<const Value>& flow_json) {
  {
    std::lock_guard lock(mutex_);
    auto found = links_.find(flow_json.get());
    if (found != links_.end()) return found->second.links;
  }
  auto made = std::make_shared<const Value>(make_node_link((*flow_json)["cells"]));
  std::lock_guard lock(mutex_);
  if (links_.size() >= max_entries_) links_.clear();
  return links_.try_emplace(flow_json.get(), LinkEntry{flow_json, made}).first->second.links;
}

std::shared_ptr<const std::vector<std::string>> RouteCache::paths(
    const std::shared_ptr<const Value>& links, const std::optional<std::string>& start,
    const std::optional<std::string>& end, const VqTree& tree) {
  PathKey key{links.get(), start, end, tree.max_paths()};
  {
    std::lock_guard lock(mutex_);
    auto found = paths_.find(key);
    if (found != paths_.end()) return found->second.paths;
  }
  auto made = std::make_shared<const std::vector<std::string>>(tree.get_paths(*links, start, end));
  std::lock_guard lock(mutex_);
  if (paths_.size() >= max_entries_) paths_.clear();
  return paths_.try_emplace(std::move(key), PathEntry{links, made}).first->second.paths;
}

std::vector<std::string> routes_of(RouteCache* cache, const std::shared_ptr<const Value>& links,
                                   const std::optional<std::string>& start,
                                   const std::optional<std::string>& end, const VqTree& tree) {
  if (cache) return *cache->paths(links, start, end, tree);
  return tree.get_paths(*links, start, end);
}

}  // namespace vqflow
