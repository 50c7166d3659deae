#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace vqflow {

// Compares two texts in time that depends only on their lengths, so that a
// caller cannot learn a secret byte by byte from response times.
bool constant_time_equals(std::string_view a, std::string_view b);

// The token in `path`: the file's text without surrounding white space. Throws
// ConfigError when the file cannot be read, is empty, or holds more than one line.
std::string read_token_file(const std::string& path);

// Where the server listens: "127.0.0.1:8080", "[::1]:8080", "localhost:0",
// "0.0.0.0:8080". `host` is an IP address text ("localhost" becomes 127.0.0.1).
struct ListenAddress {
  std::string host;
  unsigned short port = 0;
};

// Throws ConfigError naming the fault ("--listen: ...").
ListenAddress parse_listen_address(std::string_view text);

// True for the IPv4 loopback net 127.0.0.0/8 and for ::1.
bool is_loopback_ip(std::string_view ip);

// True when a Host header names this machine by a loopback name or by an IP
// address: "localhost", "localhost:8080", "127.0.0.1:8080", "[::1]:8080",
// "192.168.1.5". A domain name that merely resolves to loopback is refused:
// that is how a web page rebinds its own name onto a local server.
bool is_local_host_header(std::string_view host);

// True when `origin` ("scheme://host[:port]") names the same host and port as
// the request's `host` header: a page this server served itself. Names
// compare without regard to case; a port left out is the scheme's default
// (80 for http, 443 for https), so "http://localhost" fits "localhost:80".
bool is_same_origin(std::string_view origin, std::string_view host);

// The value of the query parameter "access_token" of `target`, where browsers
// put the token of a WebSocket upgrade (they cannot set its headers); absent
// when there is none.
std::optional<std::string> query_access_token(std::string_view target);

}  // namespace vqflow
