#include "server/console.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "run/run_states.h"
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

constexpr std::string_view k_runs_mark = "<!--runs-->";

std::string escape_html(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// As the script's encodeURIComponent: everything but letters, digits and -_.!~*'() escaped.
std::string escape_uri_component(std::string_view text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) ||
        std::string_view("-_.!~*'()").find(static_cast<char>(c)) != std::string_view::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string cell(const Value& value) { return escape_html(text_form(value)); }

}  // namespace

std::string runs_table_html(const Value& runs) {
  std::string rows;
  for (const Value& run : runs) {
    const std::string id = text_form(run.value("only_id", Value("")));
    const std::string state = cell(run.value("state", Value("")));
    const Value playbook = run.value("playbook", Value(""));
    const std::string safe_id = escape_html(id);
    rows += fmt::format(
        "<tr data-run=\"{0}\" data-state=\"{1}\"><td class=\"mono\"><a href=\"#/runs/{2}\">{0}</a>"
        "</td><td><span class=\"state state-{1}\">{1}</span></td><td>{3}</td><td>{4}</td><td></td>"
        "</tr>\n",
        safe_id, state, escape_html(escape_uri_component(id)),
        cell(text_form(playbook).empty() ? run.value("uuid", Value("")) : playbook),
        cell(run.value("started", Value(""))));
  }
  if (rows.empty()) rows = "<tr><td colspan=\"5\">No runs.</td></tr>\n";
  return "<div id=\"initial\" class=\"page\"><h1>Runs</h1><table><thead><tr><th "
         "scope=\"col\">Run</th><th scope=\"col\">State</th><th scope=\"col\">Playbook</th><th "
         "scope=\"col\">Started</th><th scope=\"col\">Duration</th></tr></thead><tbody "
         "id=\"runs-body\">\n" +
         rows + "</tbody></table></div>";
}

std::string with_initial_html(std::string page, const std::string& html) {
  const std::size_t at = page.find(k_runs_mark);
  if (at != std::string::npos) page.replace(at, k_runs_mark.size(), html);
  return page;
}

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
  // Without a token the runs are no secret to a client that reaches the
  // page: it carries them, fresh each time, so that they show at once.
  if (options_.token || !services_ || !services_->db)
    return console_response("index.html", request);
  HttpRequest fresh = request;
  fresh.headers.erase("if-none-match");
  HttpResponse out = console_response("index.html", fresh);
  try {
    RunFilter filter;
    out.body =
        with_initial_html(std::move(out.body), runs_table_html(list_runs(*services_->db, filter)));
  } catch (const std::exception& e) {
    // The script lists them, or says why it cannot.
    spdlog::warn("GET /: runs not listed in the page: {}", e.what());
  }
  for (auto& [name, value] : out.headers) {
    if (name == "Cache-Control") value = "no-store";
  }
  std::erase_if(out.headers, [](const auto& header) { return header.first == "ETag"; });
  return out;
}

HttpResponse Api::console_file(const HttpRequest& request, const Params& params) {
  return console_response(params[0], request);
}

}  // namespace vqflow
