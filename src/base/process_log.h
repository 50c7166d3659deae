#pragma once
#include <optional>
#include <string>

namespace vqflow {

// Sets up the process log (spdlog's default logger): info and error lines on
// stderr, and in `file` as well when given. Safe to call more than once.
// With errors_only_on_stderr, stderr shows error lines only (commands whose
// standard output already shows every record); the file still gets everything.
void init_process_log(const std::optional<std::string>& file = std::nullopt,
                      bool errors_only_on_stderr = false);

}  // namespace vqflow
