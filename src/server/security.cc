#include "server/security.h"

#include <arpa/inet.h>

#include <cctype>
#include <charconv>
#include <fstream>
#include <map>
#include <sstream>

#include "base/errors.h"
#include "base/text.h"
#include "server/api_routes.h"

namespace vqflow {

namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())))
    text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
    text.remove_suffix(1);
  return text;
}

bool is_ipv4(const std::string& text) {
  in_addr addr{};
  return ::inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

bool is_ipv6(const std::string& text) {
  in6_addr addr{};
  return ::inet_pton(AF_INET6, text.c_str(), &addr) == 1;
}

bool valid_port_text(std::string_view text, unsigned short* port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value > 65535) return false;
  if (port != nullptr) *port = static_cast<unsigned short>(value);
  return true;
}

}  // namespace

bool constant_time_equals(std::string_view a, std::string_view b) {
  // Walk the expected length whatever the other text holds; fold the length
  // difference into the result instead of returning early.
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  const std::size_t n = b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    diff |= static_cast<unsigned char>(x ^ static_cast<unsigned char>(b[i]));
  }
  // Keep the compiler from turning the loop into an early exit.
  volatile unsigned char sink = diff;
  return sink == 0;
}

std::string read_token_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError("--token-file: cannot read " + path);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  std::string_view token = trim(text);
  if (token.empty()) throw ConfigError("--token-file: " + path + " holds no token");
  for (char c : token) {
    if (c == '\n' || c == '\r') {
      throw ConfigError("--token-file: " + path + " must hold the token on one line");
    }
    if (std::iscntrl(static_cast<unsigned char>(c)) || c == ' ') {
      throw ConfigError("--token-file: " + path + " holds white space or control characters");
    }
  }
  return std::string(token);
}

ListenAddress parse_listen_address(std::string_view text) {
  const std::string whole(text);
  ListenAddress out;
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      throw ConfigError("--listen: \"" + whole + "\" is not [IPv6]:PORT");
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    auto colon = text.rfind(':');
    if (colon == std::string_view::npos) {
      throw ConfigError("--listen: \"" + whole + "\" is not HOST:PORT");
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos) {
      throw ConfigError("--listen: \"" + whole + "\": write IPv6 addresses as [ADDRESS]:PORT");
    }
  }
  if (!valid_port_text(port, &out.port)) {
    throw ConfigError("--listen: \"" + whole + "\": port must be a number from 0 to 65535");
  }
  out.host = iequals(host, "localhost") ? "127.0.0.1" : std::string(host);
  if (!is_ipv4(out.host) && !is_ipv6(out.host)) {
    throw ConfigError("--listen: \"" + whole + "\": host must be an IP address or localhost");
  }
  return out;
}

bool is_loopback_ip(std::string_view ip) {
  const std::string text(ip);
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    // ::ffff:127.x.y.z
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
  }
  return false;
}

bool is_local_host_header(std::string_view host) {
  host = trim(host);
  if (host.empty()) return false;
  std::string_view name = host;
  if (host.front() == '[') {
    auto close = host.find(']');
    if (close == std::string_view::npos) return false;
    std::string_view rest = host.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !valid_port_text(rest.substr(1), nullptr))) {
      return false;
    }
    return is_ipv6(std::string(host.substr(1, close - 1)));
  }
  if (auto colon = host.rfind(':'); colon != std::string_view::npos) {
    if (!valid_port_text(host.substr(colon + 1), nullptr)) return false;
    name = host.substr(0, colon);
  }
  if (iequals(name, "localhost")) return true;
  return is_ipv4(std::string(name));
}

namespace {

// "host:port" with the port made explicit and the name lower case; "" when
// `authority` is malformed.
std::string explicit_authority(std::string_view authority, std::string_view default_port) {
  authority = trim(authority);
  if (authority.empty()) return "";
  std::string_view name = authority;
  std::string_view port;
  const std::size_t name_end =
      authority.front() == '[' ? authority.find(']') : authority.rfind(':');
  if (authority.front() == '[') {
    if (name_end == std::string_view::npos) return "";
    name = authority.substr(0, name_end + 1);
    std::string_view rest = authority.substr(name_end + 1);
    if (!rest.empty() && rest.front() != ':') return "";
    if (!rest.empty()) port = rest.substr(1);
  } else if (name_end != std::string_view::npos) {
    name = authority.substr(0, name_end);
    port = authority.substr(name_end + 1);
  }
  if (port.empty()) port = default_port;
  if (name.empty() || !valid_port_text(port, nullptr)) return "";
  return ascii_lower(name) + ":" + std::string(port);
}

}  // namespace

bool is_same_origin(std::string_view origin, std::string_view host) {
  const std::size_t scheme_end = origin.find("://");
  if (scheme_end == std::string_view::npos) return false;
  const std::string scheme = ascii_lower(origin.substr(0, scheme_end));
  const char* default_port = scheme == "http" ? "80" : scheme == "https" ? "443" : nullptr;
  if (default_port == nullptr) return false;
  const std::string_view authority = origin.substr(scheme_end + 3);
  if (authority.find_first_of("/?#@") != std::string_view::npos) return false;
  const std::string wanted = explicit_authority(authority, default_port);
  return !wanted.empty() && wanted == explicit_authority(host, default_port);
}

std::optional<std::string> query_access_token(std::string_view target) {
  const std::map<std::string, std::string> query = query_parameters(target);
  auto found = query.find("access_token");
  if (found == query.end()) return std::nullopt;
  return found->second;
}

}  // namespace vqflow
