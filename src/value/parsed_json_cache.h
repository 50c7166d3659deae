#pragma once
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "value/value.h"

namespace vqflow {

// Parsed JSON documents by their exact text, so that a playbook started again
// and again is parsed once rather than on every run. Documents are shared and
// never changed. Bounded: the least recently used documents are dropped beyond
// `max_entries` or `max_bytes` of text, and a text larger than a quarter of
// `max_bytes` is parsed every time. Thread-safe.
class ParsedJsonCache {
 public:
  explicit ParsedJsonCache(std::size_t max_entries = 256, std::size_t max_bytes = 32u << 20);

  // The document `text` holds. Throws JsonError as parse_json does; failures
  // are not kept.
  std::shared_ptr<const Value> parse(const std::string& text);

  std::size_t size() const;

 private:
  using Order = std::list<const std::string*>;  // keys of entries_, most recently used first
  struct Entry {
    std::shared_ptr<const Value> document;
    Order::iterator place;
  };

  const std::size_t max_entries_;
  const std::size_t max_bytes_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> entries_;
  Order order_;
  std::size_t bytes_ = 0;
};

}  // namespace vqflow
