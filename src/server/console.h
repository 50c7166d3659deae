#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "server/http_types.h"
#include "value/value.h"

namespace vqflow {

// One file of the web console, compiled into the binary from the web/ folder
// (no network needed to serve it, also on an air-gapped net).
struct ConsoleFile {
  std::string_view name;  // "app.js"
  std::string_view content_type;
  std::string_view etag;  // quoted, changes with the bytes
  std::string_view bytes;
};

// Every console file, sorted by name; generated at build time.
const std::vector<ConsoleFile>& console_files();

// The console file `name` for `request` ("index.html" is the page at "/"):
// the bytes with their content type, the security headers that let the page
// load nothing but this server's own files, and a revalidation rule (304 when
// the request's If-None-Match holds the current tag). 404 for a name that is
// no console file.
HttpResponse console_response(std::string_view name, const HttpRequest& request);

// The runs of `runs` (as GET /api/runs answers them) as the console's runs
// table, escaped for HTML: the page carries it in place of the `<!--runs-->`
// mark, so that the list shows before (and without) the scripts.
std::string runs_table_html(const Value& runs);

// `page` with the mark replaced by `html`; unchanged when it has no mark.
std::string with_initial_html(std::string page, const std::string& html);

// The Content-Security-Policy of the console: its own files only, no inline
// script or style, connections to this server and its WebSocket. `host` (the
// request's Host header) names the WebSocket origin when it is a plain
// host[:port]; otherwise only 'self' is allowed.
std::string console_security_policy(std::string_view host);

}  // namespace vqflow
