#pragma once
#include <string_view>

namespace vqflow {

// True when `app_dir` can name an app folder directly under the apps folder:
// one path component of letters, digits, '_', '-' and '.', not starting with
// '.', at most 255 bytes. Anything else ("", "../x", "a/b", ".hidden", a NUL
// byte) could reach outside the apps folder or hide a file, and is refused.
bool is_plain_app_dir(std::string_view app_dir);

}  // namespace vqflow
