#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "value/value.h"

namespace vqflow {

// Parsed app manifests (app.json) by apps folder and app folder. Each call looks at the file's
// size, modification time and inode and reads it again only when one changed;
// built-in apps parse their compiled-in manifest once. Thread-safe.
class ManifestCache {
 public:
  // `clock` tells how old a file's times are; they are the system's, so only
  // tests give another.
  explicit ManifestCache(std::shared_ptr<const Clock> clock = real_clock())
      : clock_(clock ? std::move(clock) : real_clock()) {}

  // The parsed manifest: {} when the app has none. Throws JsonError for a
  // manifest that is not JSON and StoreError when it cannot be read; failures
  // are not kept, so a repaired file is read on the next call.
  std::shared_ptr<const Value> get(const std::string& apps_path, const std::string& app_dir);

 private:
  struct Entry {
    std::string stamp;
    std::shared_ptr<const Value> manifest;
  };

  std::shared_ptr<const Clock> clock_;
  std::mutex mutex_;
  std::map<std::string, Entry> entries_;
};

}  // namespace vqflow
