// The only translation unit that includes Beast: everything else deals in
// HttpRequest/HttpResponse and ClientConnection.
#include "server/server.h"

// g++ 12 misreads Asio 1.18's coroutine frame allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include <spdlog/spdlog.h>
#include <sys/resource.h>

#include <algorithm>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <map>
#include <string>

#include "base/errors.h"
#include "base/spawn_logged.h"
#include "base/text.h"
#include "server/access_log.h"

namespace vqflow {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

// Beast's string_view is not std::string_view in this Boost.
std::string lower(beast::string_view text) {
  return ascii_lower(std::string_view(text.data(), text.size()));
}

HttpRequest to_request(const http::request<http::string_body>& message) {
  HttpRequest out;
  out.method = std::string(message.method_string());
  out.target = std::string(message.target());
  for (const auto& field : message)
    out.headers[lower(field.name_string())] = std::string(field.value());
  return out;
}

http::response<http::string_body> to_message(const HttpResponse& response, unsigned version,
                                             bool keep_alive) {
  http::response<http::string_body> out;
  out.version(version);
  out.result(static_cast<unsigned>(response.status));
  out.set(http::field::server, "vqflow");
  if (!response.content_type.empty()) {
    out.set(http::field::content_type, response.content_type);
    out.body() = response.body;
  }
  for (const auto& [name, value] : response.headers) out.insert(name, value);
  out.keep_alive(keep_alive);
  out.prepare_payload();
  return out;
}

}  // namespace

// Something the server can close on shutdown.
class Closable {
 public:
  virtual ~Closable() = default;
  // graceful: finish what is under way first (an idle HTTP connection closes
  // at once; a WebSocket client gets its queued messages and a close frame).
  virtual void shut(bool graceful) = 0;
};

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
  Impl(net::io_context& ioc, Api& api, ServerOptions options)
      : ioc(ioc), api(api), options(std::move(options)), acceptor(ioc) {}

  net::io_context& ioc;
  Api& api;
  ServerOptions options;
  tcp::acceptor acceptor;
  std::uint64_t next_id = 1;
  std::map<std::uint64_t, std::weak_ptr<Closable>> sessions;
  // Connections per remote address that have had no request admitted yet.
  std::map<std::string, std::size_t> unadmitted;

  // False when `address` holds its share of unadmitted connections already.
  bool count_unadmitted(const std::string& address) {
    std::size_t& held = unadmitted[address];
    if (held >= options.max_unadmitted_per_address) return false;
    ++held;
    return true;
  }
  void release_unadmitted(const std::string& address) {
    auto found = unadmitted.find(address);
    if (found != unadmitted.end() && --found->second == 0) unadmitted.erase(found);
  }

  void shut_all(bool graceful) {
    // Copy first: shutting a session may end it and erase its entry.
    std::vector<std::shared_ptr<Closable>> live;
    for (auto& [id, weak] : sessions) {
      if (auto s = weak.lock()) live.push_back(std::move(s));
    }
    for (auto& s : live) s->shut(graceful);
  }
};

namespace {

using Impl = Server::Impl;

// A plain HTTP connection until it is upgraded.
class HttpConn : public Closable {
 public:
  HttpConn(tcp::socket socket, std::string address)
      : stream(std::move(socket)), address(std::move(address)) {}

  void shut(bool graceful) override {
    // A connection under way closes after its answer (the session sees the
    // Api draining); an idle one, or any on a hard close, closes now.
    if (graceful && busy) return;
    beast::error_code ec;
    stream.socket().shutdown(tcp::socket::shutdown_both, ec);
    stream.socket().close(ec);
  }

  beast::tcp_stream stream;
  const std::string address;  // the client's IP address
  std::string remote;         // "address:port" of the client, for the access log
  bool busy = false;
  bool upgraded = false;
  bool admitted = false;  // a request of it passed admit(): no longer counted as unadmitted
};

// A WebSocket client: the connection of the runs it started. Live messages
// are queued and written by one writer at a time; after the client left,
// send does nothing.
class WsConn : public ClientConnection,
               public Closable,
               public std::enable_shared_from_this<WsConn> {
 public:
  WsConn(beast::tcp_stream stream, std::size_t queue_limit)
      : ws(std::move(stream)), queue_limit_(queue_limit) {}

  // Any thread: the message is handed to the connection's loop.
  void send(const std::string& text) override {
    net::dispatch(ws.get_executor(),
                  [self = shared_from_this(), text = std::string(text)]() mutable {
                    self->enqueue(std::move(text));
                  });
  }

  void shut(bool graceful) override {
    if (closed_) return;
    // Before the handshake is through there is nothing to close gracefully,
    // and a close frame would race the handshake's own write.
    if (!graceful || !accepted) {
      drop();
      return;
    }
    close_requested_ = true;
    wake_writer();
  }

  // The client is gone or misbehaved: nothing more is sent.
  void drop() {
    if (closed_) return;
    closed_ = true;
    queue_.clear();
    queued_bytes_ = 0;
    beast::error_code ec;
    beast::get_lowest_layer(ws).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws).socket().close(ec);
  }

  bool closed() const { return closed_; }

  websocket::stream<beast::tcp_stream> ws;
  bool accepted = false;  // the WebSocket handshake is done

 private:
  void enqueue(std::string text) {
    if (closed_ || close_requested_) return;
    if (queued_bytes_ + text.size() > queue_limit_) {
      spdlog::error("server: WebSocket client dropped: {} bytes of live messages unread",
                    queued_bytes_);
      drop();
      return;
    }
    queued_bytes_ += text.size();
    queue_.push_back(std::move(text));
    wake_writer();
  }

  void wake_writer() {
    if (writing_) return;
    writing_ = true;
    spawn_logged(ws.get_executor(), write_all(shared_from_this()), "server WebSocket writer");
  }

  // Invariants: at most one write_all runs (writing_); it alone writes to and
  // closes the stream, so Beast sees one outstanding write at a time.
  static net::awaitable<void> write_all(std::shared_ptr<WsConn> self) {
    beast::error_code ec;
    while (!self->closed_ && !self->queue_.empty()) {
      self->ws.text(true);
      co_await self->ws.async_write(net::buffer(self->queue_.front()),
                                    net::redirect_error(net::use_awaitable, ec));
      if (ec || self->closed_) {
        self->drop();
        break;
      }
      self->queued_bytes_ -= self->queue_.front().size();
      self->queue_.pop_front();
    }
    if (!self->closed_ && self->close_requested_) {
      co_await self->ws.async_close(websocket::close_code::going_away,
                                    net::redirect_error(net::use_awaitable, ec));
      self->drop();
    }
    self->writing_ = false;
  }

  std::size_t queue_limit_;
  std::deque<std::string> queue_;
  std::size_t queued_bytes_ = 0;
  bool writing_ = false;
  bool closed_ = false;
  bool close_requested_ = false;
};

HttpResponse body_too_large(std::size_t limit) {
  return error_response(413, "request body larger than " + std::to_string(limit) + " bytes");
}

net::awaitable<void> write_response(std::shared_ptr<HttpConn> conn, HttpResponse response,
                                    unsigned version, bool keep_alive,
                                    std::chrono::milliseconds timeout) {
  auto message = to_message(response, version, keep_alive);
  beast::error_code ec;
  conn->stream.expires_after(timeout);
  co_await http::async_write(conn->stream, message, net::redirect_error(net::use_awaitable, ec));
}

net::awaitable<void> ws_session(std::shared_ptr<Impl> impl, std::uint64_t id,
                                std::shared_ptr<WsConn> conn,
                                http::request<http::string_body> upgrade) {
  beast::error_code ec;
  // The WebSocket stream keeps its own timers; the HTTP one would cut it off.
  beast::get_lowest_layer(conn->ws).expires_never();
  websocket::stream_base::timeout timeouts{};
  timeouts.handshake_timeout = impl->options.request_timeout;
  timeouts.idle_timeout = impl->options.ws_idle_timeout;
  timeouts.keep_alive_pings = true;
  conn->ws.set_option(timeouts);
  conn->ws.read_message_max(impl->api.options().body_limit);
  conn->ws.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& res) { res.set(http::field::server, "vqflow"); }));
  co_await conn->ws.async_accept(upgrade, net::redirect_error(net::use_awaitable, ec));
  if (!ec && !conn->closed()) {
    conn->accepted = true;
    for (;;) {
      beast::flat_buffer buffer;
      co_await conn->ws.async_read(buffer, net::redirect_error(net::use_awaitable, ec));
      if (ec) break;
      if (!conn->ws.got_text()) {
        conn->send(R"({"method": "error", "data": {"error": "send text messages"}})");
        continue;
      }
      impl->api.ws_message(beast::buffers_to_string(buffer.data()), conn);
    }
  }
  // The runs keep the connection object; their later sends do nothing.
  conn->drop();
  impl->api.ws_closed(conn.get());
  impl->sessions.erase(id);
}

net::awaitable<void> http_session(std::shared_ptr<Impl> impl, std::uint64_t id,
                                  std::shared_ptr<HttpConn> conn) {
  beast::flat_buffer buffer;
  beast::error_code ec;
  const auto timeout = impl->options.request_timeout;
  const auto first_timeout = std::min(impl->options.first_request_timeout, timeout);
  for (bool first = true;; first = false) {
    conn->busy = false;
    if (impl->api.draining()) break;
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(impl->options.header_limit));
    parser.body_limit(impl->api.options().body_limit);
    conn->stream.expires_after(first ? first_timeout : timeout);
    co_await http::async_read_header(conn->stream, buffer, parser,
                                     net::redirect_error(net::use_awaitable, ec));
    if (ec) {
      std::optional<HttpResponse> refusal;
      if (ec == http::error::header_limit) {
        refusal = error_response(431, "request headers too large");
      } else if (ec == http::error::body_limit) {
        // A chunked body already in the buffer is parsed along with the header.
        refusal = body_too_large(impl->api.options().body_limit);
      } else if (ec.category() == http::make_error_code(http::error::bad_method).category() &&
                 ec != http::error::end_of_stream && ec != http::error::partial_message) {
        refusal = error_response(400, "malformed request: " + ec.message());
      }
      if (refusal) {
        // The request line may not have been read: the log line names none.
        HttpRequest unread{"-", "-", {}, {}};
        const int status = refusal->status;
        const auto began = std::chrono::steady_clock::now();
        co_await write_response(conn, std::move(*refusal), 11, false, timeout);
        log_access(conn->remote, unread, status, began);
      }
      break;
    }
    const auto began = std::chrono::steady_clock::now();
    conn->busy = true;
    const auto& header = parser.get();
    const unsigned version = header.version();
    HttpRequest request = to_request(header);
    std::optional<std::uint64_t> length;
    if (auto announced = parser.content_length()) length = *announced;
    if (auto refusal = impl->api.admit(request, length)) {
      // The body (if any) stays unread, so the connection cannot carry on.
      const bool bodiless = !parser.chunked() && (!length || *length == 0);
      const bool keep = bodiless && !refusal->close && header.keep_alive();
      const int status = refusal->status;
      co_await write_response(conn, std::move(*refusal), version, keep, timeout);
      log_access(conn->remote, request, status, began);
      if (!keep) break;
      continue;
    }
    if (!conn->admitted) {
      conn->admitted = true;
      impl->release_unadmitted(conn->address);
    }
    if (websocket::is_upgrade(header)) {
      if (auto refusal = impl->api.refuse_upgrade(request)) {
        const int status = refusal->status;
        co_await write_response(conn, std::move(*refusal), version, false, timeout);
        log_access(conn->remote, request, status, began);
        break;
      }
      log_access(conn->remote, request, 101, began);
      auto ws = std::make_shared<WsConn>(std::move(conn->stream), impl->options.ws_queue_limit);
      conn->upgraded = true;
      impl->sessions[id] = ws;
      spawn_logged(impl->ioc, ws_session(impl, id, ws, parser.release()),
                   "server WebSocket session");
      co_return;
    }
    if (lower(header[http::field::expect]) == "100-continue") {
      http::response<http::empty_body> proceed{http::status::continue_, version};
      conn->stream.expires_after(timeout);
      co_await http::async_write(conn->stream, proceed,
                                 net::redirect_error(net::use_awaitable, ec));
      if (ec) break;
    }
    if (!parser.is_done()) {
      conn->stream.expires_after(timeout);
      co_await http::async_read(conn->stream, buffer, parser,
                                net::redirect_error(net::use_awaitable, ec));
      if (ec == http::error::body_limit) {
        co_await write_response(conn, body_too_large(impl->api.options().body_limit), version,
                                false, timeout);
        log_access(conn->remote, request, 413, began);
        break;
      }
      if (ec) break;
    }
    request.body = std::move(parser.get().body());
    HttpRequest line{request.method, request.target, {}, {}};
    HttpResponse response = co_await impl->api.respond(std::move(request));
    const bool keep = parser.get().keep_alive() && !response.close && !impl->api.draining();
    const int status = response.status;
    co_await write_response(conn, std::move(response), version, keep, timeout);
    log_access(conn->remote, line, status, began);
    if (!keep) break;
  }
  if (!conn->admitted) impl->release_unadmitted(conn->address);
  if (!conn->upgraded) {
    conn->shut(false);
    impl->sessions.erase(id);
  }
}

net::awaitable<void> accept_loop(std::shared_ptr<Impl> impl) {
  net::steady_timer pause(impl->ioc);
  for (;;) {
    beast::error_code ec;
    tcp::socket socket(impl->ioc);
    co_await impl->acceptor.async_accept(socket, net::redirect_error(net::use_awaitable, ec));
    if (!impl->acceptor.is_open() || ec == net::error::operation_aborted) co_return;
    if (ec) {
      // Out of descriptors or similar: wait instead of spinning.
      spdlog::error("server: accept: {}", ec.message());
      pause.expires_after(std::chrono::milliseconds(100));
      co_await pause.async_wait(net::redirect_error(net::use_awaitable, ec));
      continue;
    }
    const auto remote = socket.remote_endpoint(ec);
    if (ec || impl->sessions.size() >= impl->options.max_connections) {
      socket.close(ec);
      continue;
    }
    std::string address = remote.address().to_string();
    if (!impl->count_unadmitted(address)) {
      socket.close(ec);
      continue;
    }
    socket.set_option(tcp::no_delay(true), ec);
    const std::uint64_t id = impl->next_id++;
    const std::string remote_text = remote.address().is_v6()
                                        ? "[" + address + "]:" + std::to_string(remote.port())
                                        : address + ":" + std::to_string(remote.port());
    auto conn = std::make_shared<HttpConn>(std::move(socket), std::move(address));
    conn->remote = remote_text;
    impl->sessions[id] = conn;
    spawn_logged(impl->ioc, http_session(impl, id, conn), "server HTTP session");
  }
}

// `wanted`, lowered so that the connections leave descriptors for the
// stores, the apps' pipes and the log.
std::size_t connections_within_descriptor_limit(std::size_t wanted) {
  constexpr std::size_t k_reserved_descriptors = 512;
  struct rlimit limit {};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return wanted;
  const std::size_t available = limit.rlim_cur > 2 * k_reserved_descriptors
                                    ? limit.rlim_cur - k_reserved_descriptors
                                    : limit.rlim_cur / 2;
  if (wanted <= available) return wanted;
  spdlog::warn("server: at most {} connections (the descriptor limit is {})", available,
               limit.rlim_cur);
  return available;
}

}  // namespace

Server::Server(net::io_context& ioc, Api& api, ServerOptions options)
    : impl_(std::make_shared<Impl>(ioc, api, std::move(options))) {}

Server::~Server() {
  beast::error_code ec;
  impl_->acceptor.close(ec);
}

void Server::start() {
  impl_->options.max_connections =
      connections_within_descriptor_limit(impl_->options.max_connections);
  const auto& listen = impl_->options.listen;
  beast::error_code ec;
  auto address = net::ip::make_address(listen.host, ec);
  if (ec) throw ConfigError("--listen: " + listen.host + ": " + ec.message());
  const tcp::endpoint endpoint(address, listen.port);
  auto& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) {
    acceptor.close();
    throw ConfigError("--listen: cannot listen on " + listen.host + ":" +
                      std::to_string(listen.port) + ": " + ec.message());
  }
  spawn_logged(impl_->ioc, accept_loop(impl_), "server accept loop");
}

unsigned short Server::port() const {
  beast::error_code ec;
  auto endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void Server::stop_accepting() {
  impl_->api.set_draining();
  beast::error_code ec;
  impl_->acceptor.close(ec);
  // WebSocket clients stay: they watch the runs that are closing.
  std::vector<std::shared_ptr<Closable>> http_only;
  for (auto& [id, weak] : impl_->sessions) {
    auto s = weak.lock();
    if (s && dynamic_cast<HttpConn*>(s.get()) != nullptr) http_only.push_back(std::move(s));
  }
  for (auto& s : http_only) s->shut(true);
}

void Server::close_all() {
  beast::error_code ec;
  impl_->acceptor.close(ec);
  impl_->shut_all(true);
}

std::size_t Server::connections() const { return impl_->sessions.size(); }

}  // namespace vqflow
