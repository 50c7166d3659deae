#pragma once
#include <chrono>
#include <string>
#include <string_view>

#include "server/http_types.h"

namespace vqflow {

// The process-log line of one answered HTTP request:
// `http 127.0.0.1:50412 "GET /api/health" 200 1.4 ms`. The query string is
// left out (it may carry secrets), and so is every header (the token among them).
std::string access_log_line(std::string_view remote, const HttpRequest& request, int status,
                            std::chrono::steady_clock::duration took);

// Writes that line to the process log (info).
void log_access(std::string_view remote, const HttpRequest& request, int status,
                std::chrono::steady_clock::time_point began);

}  // namespace vqflow
