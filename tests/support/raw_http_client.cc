#include "support/raw_http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace vqflow::test {

namespace {

bool is_whole_response(const std::string& answer) {
  const std::size_t head_end = answer.find("\r\n\r\n");
  const std::size_t length_at = answer.find("Content-Length: ");
  if (head_end == std::string::npos || length_at == std::string::npos) return false;
  return answer.size() >= head_end + 4 + std::stoul(answer.substr(length_at + 16));
}

}  // namespace

ClientSocket::ClientSocket(const char* source, unsigned short port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  ::inet_pton(AF_INET, source, &from.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  connected_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
               ::connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
}

ClientSocket::~ClientSocket() {
  if (fd_ >= 0) ::close(fd_);
}

std::string ClientSocket::exchange(const std::string& request, std::chrono::milliseconds limit) {
  if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size()))
    return "";
  std::string answer;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, 50) <= 0) continue;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
    if (is_whole_response(answer)) break;
  }
  return answer;
}

bool ClientSocket::closed_by_server(std::chrono::milliseconds limit) {
  pollfd ready{fd_, POLLIN, 0};
  if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) return false;
  char byte;
  return ::recv(fd_, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0 || (ready.revents & POLLHUP);
}

std::string http_post(unsigned short port, const std::string& target, const std::string& body) {
  ClientSocket socket("127.0.0.1", port);
  if (!socket.connected()) return "";
  return socket.exchange("POST " + target +
                         " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                         "Content-Length: " +
                         std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
}

std::string http_get(unsigned short port, const std::string& target) {
  ClientSocket socket("127.0.0.1", port);
  if (!socket.connected()) return "";
  return socket.exchange("GET " + target +
                         " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

int response_status(const std::string& response) {
  // "HTTP/1.1 202 Accepted"
  if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return 0;
  return std::atoi(response.c_str() + 9);
}

std::string response_body(const std::string& response) {
  const std::size_t head_end = response.find("\r\n\r\n");
  return head_end == std::string::npos ? "" : response.substr(head_end + 4);
}

}  // namespace vqflow::test
