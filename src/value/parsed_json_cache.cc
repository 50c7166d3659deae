#include "value/parsed_json_cache.h"

namespace vqflow {

ParsedJsonCache::ParsedJsonCache(std::size_t max_entries, std::size_t max_bytes)
    : max_entries_(max_entries), max_bytes_(max_bytes) {}

std::shared_ptr<const Value> ParsedJsonCache::parse(const std::string& text) {
  if (text.size() > max_bytes_ / 4 || max_entries_ == 0) {
    return std::make_shared<const Value>(parse_json(text));
  }
  {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(text);
    if (found != entries_.end()) {
      order_.splice(order_.begin(), order_, found->second.place);
      return found->second.document;
    }
  }
  // Parsed outside the lock; two threads parsing the same new text both keep
  // their own result, and the first one in stays.
  auto document = std::make_shared<const Value>(parse_json(text));
  std::lock_guard lock(mutex_);
  auto [it, inserted] = entries_.try_emplace(text, Entry{document, {}});
  if (!inserted) return it->second.document;
  order_.push_front(&it->first);
  it->second.place = order_.begin();
  bytes_ += text.size();
  while (entries_.size() > max_entries_ || bytes_ > max_bytes_) {
    const std::string* oldest = order_.back();
    order_.pop_back();
    bytes_ -= oldest->size();
    entries_.erase(*oldest);
  }
  return document;
}

std::size_t ParsedJsonCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace vqflow
