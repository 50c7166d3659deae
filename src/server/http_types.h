#pragma once
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vqflow {

// One HTTP request as the handlers see it, free of any transport type. Header
// names are lower case; a repeated header keeps its last value.
struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string target;  // path and query, e.g. "/api/runs/abc/logs"
  std::map<std::string, std::string> headers;
  std::string body;

  // The header's value, or "" when the request has none.
  const std::string& header(const std::string& lower_name) const {
    static const std::string none;
    auto it = headers.find(lower_name);
    return it == headers.end() ? none : it->second;
  }
  bool has_header(const std::string& lower_name) const { return headers.count(lower_name) != 0; }
};

// The answer to one request. An empty content_type means no body.
struct HttpResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // extra headers
  bool close = false;  // close the connection after this answer
};

}  // namespace vqflow
