#include "support/plugin_test_apps.h"

namespace vqflow::test {

std::filesystem::path copy_plugin_test_apps(const TempDir& dir) {
  namespace fs = std::filesystem;
  const fs::path source = VQFLOW_SOURCE_DIR;
  const fs::path apps = dir.path() / "apps";
  fs::create_directories(apps);
  fs::copy(source / "tests/plugins/test_apps", apps, fs::copy_options::recursive);
  fs::copy(source / "sdk/python/vqflow_app.py", apps / "py_worker/main/vqflow_app.py");
  return apps;
}

}  // namespace vqflow::test
