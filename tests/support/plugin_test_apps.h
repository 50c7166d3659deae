#pragma once
#include <filesystem>

#include "support/test_support.h"

namespace vqflow::test {

// Copies the plug-in test apps (tests/plugins/test_apps, the Python worker
// with the current SDK beside it) into a fresh folder "apps" under `dir`, so
// that apps may write files beside themselves; answers that folder.
std::filesystem::path copy_plugin_test_apps(const TempDir& dir);

}  // namespace vqflow::test
