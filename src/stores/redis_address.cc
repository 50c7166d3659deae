#include "stores/redis_address.h"

#include <fmt/format.h>

#include <cctype>

#include "base/errors.h"

namespace vqflow {

namespace {

[[noreturn]] void bad_url(const std::string& url, const std::string& why) {
  throw ConfigError(
      fmt::format("redis URL \"{}\": {}: expected redis://[:password@]host[:port][/db]", url, why));
}

bool all_digits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string percent_decode(const std::string& url, const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      bad_url(url, "bad %-escape in the user or password");
    }
    out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
    i += 2;
  }
  return out;
}

}  // namespace

RedisAddress parse_redis_url(const std::string& url) {
  const std::string scheme = "redis://";
  if (url.rfind(scheme, 0) != 0) bad_url(url, "not a redis:// URL");
  std::string rest = url.substr(scheme.size());
  if (rest.find_first_of("?#") != std::string::npos)
    bad_url(url, "query parameters are not supported");
  std::size_t slash = rest.find('/');
  std::string authority = rest.substr(0, slash);
  std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);

  RedisAddress address;
  std::size_t at = authority.rfind('@');
  if (at != std::string::npos) {
    std::string userinfo = authority.substr(0, at);
    authority = authority.substr(at + 1);
    std::size_t colon = userinfo.find(':');
    address.user = percent_decode(url, userinfo.substr(0, colon));
    if (colon != std::string::npos)
      address.password = percent_decode(url, userinfo.substr(colon + 1));
    if (!address.user.empty() && !address.password) bad_url(url, "a user needs a password");
  }

  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos) bad_url(url, "unclosed [ in the host");
    address.host = authority.substr(1, close - 1);
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') bad_url(url, "unexpected text after the host");
      port = after.substr(1);
      if (port.empty()) bad_url(url, "empty port");
    }
  } else {
    std::size_t colon = authority.find(':');
    address.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
      port = authority.substr(colon + 1);
      if (port.empty()) bad_url(url, "empty port");
    }
  }
  if (address.host.empty()) bad_url(url, "no host");
  if (!port.empty()) {
    if (!all_digits(port) || port.size() > 5 || std::stoi(port) < 1 || std::stoi(port) > 65535) {
      bad_url(url, "port \"" + port + "\" is not a number from 1 to 65535");
    }
    address.port = std::stoi(port);
  }
  if (!path.empty()) {
    if (!all_digits(path) || path.size() > 6)
      bad_url(url, "database \"" + path + "\" is not a number");
    address.db = std::stoll(path);
  }
  return address;
}

std::string RedisAddress::where() const {
  return fmt::format("{}:{}/{}", host.find(':') == std::string::npos ? host : "[" + host + "]",
                     port, db);
}

}  // namespace vqflow
