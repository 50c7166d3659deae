#pragma once
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/http_types.h"
#include "value/value.h"

namespace vqflow {

// The path of a request as the routes see it: its segments, percent-escapes
// left as they are, with the version prefix of "/api/v1/..." taken out, so
// that every "/api/..." route answers under "/api/v1/..." too.
std::vector<std::string_view> route_segments(std::string_view target);

// The values of the "{name}" segments of `pattern` (e.g. "/api/runs/{only_id}")
// in `segments`, percent-decoded, in order; absent when the path does not fit
// the pattern. A fitting path whose escape is malformed answers `malformed`
// true (and no values).
struct RouteFit {
  bool fits = false;
  bool malformed = false;
  std::vector<std::string> params;
};
RouteFit fit_route(std::string_view pattern, const std::vector<std::string_view>& segments);

// The query of `target` ("a=1&b=x%20y" after the '?') as name -> value,
// percent-decoded ('+' is a space); the last of repeated names wins; a pair
// with a malformed escape is left out.
std::map<std::string, std::string> query_parameters(std::string_view target);

// Percent-decodes one path segment; absent when an escape is malformed.
std::optional<std::string> decode_segment(std::string_view text);

// A JSON request body (nested no deeper than a request needs), or absent
// with `refusal` set to the 400 that says why it is none.
std::optional<Value> request_json(const HttpRequest& request, HttpResponse& refusal);

}  // namespace vqflow
