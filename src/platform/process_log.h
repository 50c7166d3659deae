#pragma once
#include <optional>
#include <string>

namespace vqflow {

// Sets up the process log (spdlog's default logger): info and error lines on
// stderr, and in `file` as well when given. Safe to call more than once.
void init_process_log(const std::optional<std::string>& file = std::nullopt);

}  // namespace vqflow
