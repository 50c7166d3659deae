#pragma once
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "flow/vq_tree.h"
#include "value/value.h"

namespace vqflow {

// Link tables and routes of shared, never-changed flow documents, so that runs
// of the same playbook build them once. Entries hold their document, so a key
// (the document's address) cannot be reused while it is cached. Bounded: the
// cache starts afresh beyond `max_entries`. Errors are not kept. Thread-safe.
class RouteCache {
 public:
  explicit RouteCache(std::size_t max_entries = 1024) : max_entries_(max_entries) {}

  // make_node_link of the document's "cells" (the caller checked they exist).
  std::shared_ptr<const Value> links(const std::shared_ptr<const Value>& flow_json);

  // tree.get_paths(*links, start, end).
  std::shared_ptr<const std::vector<std::string>> paths(const std::shared_ptr<const Value>& links,
                                                        const std::optional<std::string>& start,
                                                        const std::optional<std::string>& end,
                                                        const VqTree& tree);

 private:
  using PathKey =
      std::tuple<const Value*, std::optional<std::string>, std::optional<std::string>, std::size_t>;
  struct LinkEntry {
    std::shared_ptr<const Value> document;
    std::shared_ptr<const Value> links;
  };
  struct PathEntry {
    std::shared_ptr<const Value> links;
    std::shared_ptr<const std::vector<std::string>> paths;
  };

  const std::size_t max_entries_;
  std::mutex mutex_;
  std::map<const Value*, LinkEntry> links_;
  std::map<PathKey, PathEntry> paths_;
};

// The routes from `start` to `end`: through `cache` when there is one.
std::vector<std::string> routes_of(RouteCache* cache, const std::shared_ptr<const Value>& links,
                                   const std::optional<std::string>& start,
                                   const std::optional<std::string>& end, const VqTree& tree);

}  // namespace vqflow
