#include "server/api_routes.h"

#include "base/hex.h"
#include "base/text.h"

namespace vqflow {

namespace {

std::vector<std::string_view> split_path(std::string_view path) {
  std::vector<std::string_view> out;
  while (!path.empty()) {
    if (path.front() == '/') {
      path.remove_prefix(1);
      continue;
    }
    auto slash = path.find('/');
    out.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash);
  }
  return out;
}

}  // namespace

std::optional<std::string> decode_segment(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hex_digit_value(text[i + 1]);
    const int lo = hex_digit_value(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

std::vector<std::string_view> route_segments(std::string_view target) {
  std::vector<std::string_view> out = split_path(target.substr(0, target.find('?')));
  if (out.size() >= 2 && out[0] == "api" && out[1] == "v1") out.erase(out.begin() + 1);
  return out;
}

RouteFit fit_route(std::string_view pattern, const std::vector<std::string_view>& segments) {
  const std::vector<std::string_view> wanted = split_path(pattern);
  RouteFit out;
  if (wanted.size() != segments.size()) return out;
  std::vector<std::string> params;
  bool malformed = false;
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    if (wanted[i].size() > 2 && wanted[i].front() == '{' && wanted[i].back() == '}') {
      std::optional<std::string> value = decode_segment(segments[i]);
      if (value) params.push_back(std::move(*value));
      malformed = malformed || !value;
    } else if (wanted[i] != segments[i]) {
      return out;
    }
  }
  out.fits = true;
  out.malformed = malformed;
  if (!malformed) out.params = std::move(params);
  return out;
}

std::map<std::string, std::string> query_parameters(std::string_view target) {
  std::map<std::string, std::string> out;
  const auto mark = target.find('?');
  if (mark == std::string_view::npos) return out;
  for (const std::string& pair : split(target.substr(mark + 1), "&")) {
    if (pair.empty()) continue;
    std::string spaced = pair;
    for (char& c : spaced) {
      if (c == '+') c = ' ';
    }
    const auto eq = spaced.find('=');
    std::optional<std::string> name = decode_segment(std::string_view(spaced).substr(0, eq));
    std::optional<std::string> value =
        eq == std::string::npos ? std::string()
                                : decode_segment(std::string_view(spaced).substr(eq + 1));
    if (name && value) out[*name] = std::move(*value);
  }
  return out;
}

}  // namespace vqflow
