#pragma once
#include <chrono>
#include <string>

namespace vqflow::test {

// A blocking TCP client socket to 127.0.0.1:`port`, bound to the loopback
// address `source` (any of 127.0.0.0/8), for tests that count connections per
// address or talk to a server in another process. No Beast: plain bytes.
class ClientSocket {
 public:
  ClientSocket(const char* source, unsigned short port);
  ~ClientSocket();
  ClientSocket(const ClientSocket&) = delete;
  ClientSocket& operator=(const ClientSocket&) = delete;

  bool connected() const { return connected_; }

  // Sends `request` and answers what comes back: one whole response (by its
  // Content-Length), or what came until the server closed or `limit` passed.
  std::string exchange(const std::string& request,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));

  // True once the server closed its end (waits up to `limit` for it).
  bool closed_by_server(std::chrono::milliseconds limit);

 private:
  int fd_ = -1;
  bool connected_ = false;
};

// POST `body` (JSON) to `target` on 127.0.0.1:`port` and answer the whole
// response ("" when the connection failed).
std::string http_post(unsigned short port, const std::string& target, const std::string& body);

// GET `target` on 127.0.0.1:`port` and answer the whole response ("" when
// the connection failed).
std::string http_get(unsigned short port, const std::string& target);

// The body of a response text (after its headers), or "".
std::string response_body(const std::string& response);
// The status of a response text, or 0 when it has none.
int response_status(const std::string& response);

}  // namespace vqflow::test
