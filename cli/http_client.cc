#include "http_client.h"

#include <fmt/format.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>

#include "base/errors.h"

namespace vqflow::cli {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

ServerUrl parse_server_url(const std::string& url) {
  const std::string scheme = "http://";
  if (url.rfind(scheme, 0) != 0) {
    throw ConfigError(fmt::format(
        "--server \"{}\": give the server as http://host:port, e.g. http://127.0.0.1:8080", url));
  }
  std::string authority = url.substr(scheme.size());
  authority = authority.substr(0, authority.find('/'));
  ServerUrl out;
  std::size_t colon = authority.rfind(':');
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos) throw ConfigError("--server \"" + url + "\": unclosed [");
    out.host = authority.substr(1, close - 1);
    colon = authority.find(':', close);
  } else {
    out.host = authority.substr(0, colon);
  }
  out.port = colon == std::string::npos ? "80" : authority.substr(colon + 1);
  const bool numeric_port =
      !out.port.empty() && out.port.find_first_not_of("0123456789") == std::string::npos;
  if (out.host.empty() || !numeric_port) {
    throw ConfigError(fmt::format("--server \"{}\": expected http://host:port", url));
  }
  return out;
}

HttpAnswer http_post(const ServerUrl& server, const std::string& path, const std::string& body,
                     const std::map<std::string, std::string>& headers) {
  const std::string where = fmt::format("server {}:{}", server.host, server.port);
  try {
    net::io_context ioc;
    beast::tcp_stream stream(ioc);
    stream.expires_after(std::chrono::seconds(30));
    net::ip::tcp::resolver resolver(ioc);
    stream.connect(resolver.resolve(server.host, server.port));
    http::request<http::string_body> request{http::verb::post, path, 11};
    request.set(http::field::host, server.host);
    request.set(http::field::content_type, "application/json");
    for (const auto& [name, value] : headers) request.set(name, value);
    request.body() = body;
    request.keep_alive(false);
    request.prepare_payload();
    http::write(stream, request);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    beast::error_code ignored;
    stream.socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
    return {static_cast<int>(response.result_int()), std::move(response.body())};
  } catch (const boost::system::system_error& e) {
    throw Error(fmt::format("{}: {}", where, e.code().message()));
  }
}

}  // namespace vqflow::cli
