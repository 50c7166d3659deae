#pragma once
#include <string>

namespace vqflow {

struct File {
  // The text of <path>/<app_dir>/app.json, or "{}" when the app has none.
  // Built-in apps answer with their compiled-in manifest. Throws StoreError
  // when the file exists but cannot be read.
  static std::string find_app_json(const std::string& path, const std::string& app_dir);
};

// True when `app_dir` names a built-in app or a folder under `apps_path`.
bool app_folder_exists(const std::string& apps_path, const std::string& app_dir);

}  // namespace vqflow
