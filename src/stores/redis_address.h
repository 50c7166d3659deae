#pragma once
#include <optional>
#include <string>

namespace vqflow {

// Where a Redis server is, from redis://[[user]:password@]host[:port][/db]
// (port 6379 and db 0 by default).
struct RedisAddress {
  std::string host;
  int port = 6379;
  long long db = 0;
  std::string user;
  std::optional<std::string> password;
  // host:port/db for messages (an IPv6 host in brackets).
  std::string where() const;
};

// Throws ConfigError naming what is wrong with `url`.
RedisAddress parse_redis_url(const std::string& url);

}  // namespace vqflow
