#include "base/process_identity.h"

#include <fmt/format.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vqflow {

std::string ProcessIdentity::text() const {
  return fmt::format("{}:{}:{}", host, pid, start_ticks);
}

std::optional<ProcessIdentity> ProcessIdentity::parse(const std::string& text) {
  // The host may hold ':' itself; pid and start time are the last two fields.
  const auto last = text.rfind(':');
  if (last == std::string::npos || last == 0) return std::nullopt;
  const auto middle = text.rfind(':', last - 1);
  if (middle == std::string::npos) return std::nullopt;
  ProcessIdentity who;
  who.host = text.substr(0, middle);
  try {
    std::size_t used = 0;
    const std::string pid = text.substr(middle + 1, last - middle - 1);
    const std::string ticks = text.substr(last + 1);
    who.pid = std::stol(pid, &used);
    if (used != pid.size() || who.pid <= 0) return std::nullopt;
    who.start_ticks = std::stoull(ticks, &used);
    if (used != ticks.size()) return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (who.host.empty()) return std::nullopt;
  return who;
}

std::optional<unsigned long long> process_start_ticks(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!in || !std::getline(in, stat)) return std::nullopt;
  // The command name (field 2) is in parentheses and may hold spaces: fields
  // are counted after its closing parenthesis. The start time is field 22.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int index = 3; fields >> field; ++index) {
    if (index == 22) {
      try {
        return std::stoull(field);
      } catch (const std::exception&) {
        return std::nullopt;
      }
    }
  }
  return std::nullopt;
}

const ProcessIdentity& this_process() {
  static const ProcessIdentity self = [] {
    ProcessIdentity who;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
      std::snprintf(host, sizeof host, "localhost");
    who.host = host;
    who.pid = static_cast<long>(::getpid());
    who.start_ticks = process_start_ticks(who.pid).value_or(0);
    return who;
  }();
  return self;
}

std::optional<bool> process_alive(const ProcessIdentity& who) {
  if (who.host != this_process().host) return std::nullopt;
  const auto ticks = process_start_ticks(who.pid);
  return ticks && *ticks == who.start_ticks;
}

}  // namespace vqflow
