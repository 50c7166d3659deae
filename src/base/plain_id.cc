#include "base/plain_id.h"

namespace vqflow {

bool is_plain_id(std::string_view text) {
  if (text.empty() || text.size() > k_max_id_length) return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == ' ') return false;
  }
  return text.find("&&") == std::string_view::npos;
}

}  // namespace vqflow
