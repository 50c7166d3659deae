#include "server/access_log.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

namespace vqflow {

namespace {

// Control characters (and the quote) of a request line, which would let a
// client forge lines of its own, as \xNN.
std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      out += fmt::format("\\x{:02x}", c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

}  // namespace

std::string access_log_line(std::string_view remote, const HttpRequest& request, int status,
                            std::chrono::steady_clock::duration took) {
  std::string_view path = request.target;
  path = path.substr(0, path.find('?'));
  const double ms = std::chrono::duration<double, std::milli>(took).count();
  return fmt::format("http {} \"{} {}\" {} {:.1f} ms", remote, printable(request.method),
                     printable(path), status, ms);
}

void log_access(std::string_view remote, const HttpRequest& request, int status,
                std::chrono::steady_clock::time_point began) {
  spdlog::info("{}",
               access_log_line(remote, request, status, std::chrono::steady_clock::now() - began));
}

}  // namespace vqflow
