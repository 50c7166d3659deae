#include "server/console.h"

#include <algorithm>
#include <cctype>
#include <string>

#include "server/api.h"

namespace vqflow {

namespace {

// A Host header is the client's own text: only a plain host[:port] goes into
// a header of the answer.
bool plain_authority(std::string_view host) {
  return !host.empty() && host.size() <= 255 &&
         std::all_of(host.begin(), host.end(), [](unsigned char c) {
           return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
         });
}

}  // namespace

std::string console_security_policy(std::string_view host) {
  std::string connect = "'self'";
  // Older browsers do not count ws: of the page's own host as 'self'.
  if (plain_authority(host)) {
    connect += " ws://" + std::string(host) + " wss://" + std::string(host);
  }
  return "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
         "connect-src " +
         connect + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
}

HttpResponse console_response(std::string_view name, const HttpRequest& request) {
  const std::vector<ConsoleFile>& files = console_files();
  auto found = std::find_if(files.begin(), files.end(),
                            [name](const ConsoleFile& file) { return file.name == name; });
  if (found == files.end()) {
    return error_response(404, "no console file " + std::string(name));
  }
  HttpResponse out;
  out.headers.emplace_back("Content-Security-Policy",
                           console_security_policy(request.header("host")));
  out.headers.emplace_back("X-Content-Type-Options", "nosniff");
  out.headers.emplace_back("X-Frame-Options", "DENY");
  out.headers.emplace_back("Referrer-Policy", "no-referrer");
  // The files change with the binary: a browser asks again each time and gets
  // a 304 while it holds the current ones.
  out.headers.emplace_back("Cache-Control", "no-cache");
  out.headers.emplace_back("ETag", std::string(found->etag));
  if (request.header("if-none-match") == found->etag) {
    out.status = 304;
    out.content_type.clear();
    return out;
  }
  out.content_type = std::string(found->content_type);
  out.body = std::string(found->bytes);
  return out;
}

HttpResponse Api::console_page(const HttpRequest& request, const Params&) {
  return console_response("index.html", request);
}

HttpResponse Api::console_file(const HttpRequest& request, const Params& params) {
  return console_response(params[0], request);
}

}  // namespace vqflow
