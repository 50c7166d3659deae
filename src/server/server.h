#pragma once
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <cstddef>
#include <memory>

#include "server/api.h"
#include "server/security.h"

namespace vqflow {

struct ServerOptions {
  ListenAddress listen{"127.0.0.1", 8080};
  // Reading one request (headers and body, including the wait for it on a
  // kept-alive connection) and writing one response must each finish in this time.
  std::chrono::milliseconds request_timeout{30000};
  // A new connection must have sent its first request's headers within this
  // time (at most request_timeout), so that silent sockets go soon.
  std::chrono::milliseconds first_request_timeout{10000};
  // A WebSocket client that answers no ping for this long is dropped.
  std::chrono::milliseconds ws_idle_timeout{60000};
  std::size_t header_limit = 16u << 10;
  // Open connections at most; start() lowers it to fit the descriptor limit.
  std::size_t max_connections = 4096;
  // Connections from one remote address that have not yet had a request
  // admitted (past the token check); more are closed at once. Connections
  // that have are not counted, so a client that holds sockets open without
  // sending anything cannot lock out one that authenticates.
  std::size_t max_unadmitted_per_address = 64;
  // Bytes of live messages waiting for a WebSocket client that reads too
  // slowly; beyond it the client is dropped and its runs go on without it.
  std::size_t ws_queue_limit = 16u << 20;
};

// The HTTP and WebSocket transport of `vqflow serve`: accepts connections,
// parses requests and hands them to an Api. Runs on one io_context driven by a
// single thread (in `vqflow serve` not the one running the runs); call every
// method on that thread (or before it runs).
class Server {
 public:
  // `api` must outlive the io_context's pending work.
  Server(boost::asio::io_context& ioc, Api& api, ServerOptions options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and starts accepting. Throws ConfigError when the address cannot be
  // bound (in use, not local, not allowed).
  void start();
  // The bound port (the real one when started with port 0).
  unsigned short port() const;

  // Stops taking requests: closes the listener and idle connections, answers
  // requests already under way and closes their connections; the Api refuses
  // further requests and runs. WebSocket clients stay connected to watch the
  // runs in progress.
  void stop_accepting();
  // Closes every connection: WebSocket clients get a close frame after the
  // messages queued for them.
  void close_all();
  // Open connections (HTTP and WebSocket).
  std::size_t connections() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace vqflow
