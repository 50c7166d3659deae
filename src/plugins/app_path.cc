#include "plugins/app_path.h"

namespace vqflow {

bool is_plain_app_dir(std::string_view app_dir) {
  if (app_dir.empty() || app_dir.size() > 255 || app_dir.front() == '.') return false;
  for (char c : app_dir) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-' || c == '.';
    if (!plain) return false;
  }
  return true;
}

}  // namespace vqflow
