#pragma once
#include <map>
#include <string>

namespace vqflow::cli {

// Where a running server listens, from "http://host[:port][/path]" (port 80
// when none is given; the path is ignored). ConfigError for anything else
// (https is not spoken here: put a local proxy in front).
struct ServerUrl {
  std::string host;
  std::string port;
};
ServerUrl parse_server_url(const std::string& url);

struct HttpAnswer {
  int status = 0;
  std::string body;
};

// One POST of `body` to `path` on the server, on a connection of its own
// (closed after the answer). Blocks; gives up after 30 s. Throws Error naming
// the server when it cannot be reached or the answer is not HTTP.
HttpAnswer http_post(const ServerUrl& server, const std::string& path, const std::string& body,
                     const std::map<std::string, std::string>& headers);

}  // namespace vqflow::cli
