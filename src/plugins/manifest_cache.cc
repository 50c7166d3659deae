#include "plugins/manifest_cache.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <chrono>
#include <ctime>

#include "plugins/app_file.h"
#include "plugins/builtin_apps.h"

namespace vqflow {

namespace {

struct Stamp {
  std::string text;  // what changes when the file is replaced or rewritten
  bool settled;      // false while a rewrite could still keep the same stamp
};

Stamp file_stamp(const std::string& path, const Clock& clock) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return {"missing", true};
  // File times tick coarsely (milliseconds), so a file rewritten with the same
  // size right after it was read can keep its stamp: a file changed in the last
  // two seconds is read again on every use until it has settled.
  const std::time_t now = std::chrono::system_clock::to_time_t(clock.wall_now());
  const bool settled = now - st.st_mtim.tv_sec >= 2 && now - st.st_ctim.tv_sec >= 2;
  return {fmt::format("{}:{}:{}:{}.{}:{}.{}", st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec,
                      st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec),
          settled};
}

}  // namespace

std::shared_ptr<const Value> ManifestCache::get(const std::string& apps_path,
                                                const std::string& app_dir) {
  const std::string key = apps_path + "/" + app_dir;
  const Stamp stamp =
      is_builtin_app(app_dir) ? Stamp{"built-in", true} : file_stamp(key + "/app.json", *clock_);
  if (stamp.settled) {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    if (found != entries_.end() && found->second.stamp == stamp.text) {
      return found->second.manifest;
    }
  }
  auto manifest =
      std::make_shared<const Value>(parse_json(File::find_app_json(apps_path, app_dir)));
  if (!stamp.settled) return manifest;
  std::lock_guard lock(mutex_);
  // Bounded by the folders of the apps directory (and the built-ins); names that
  // come and go are dropped once the cache grows past any sensible count.
  if (entries_.size() >= 4096) entries_.clear();
  entries_[key] = Entry{stamp.text, manifest};
  return manifest;
}

}  // namespace vqflow
