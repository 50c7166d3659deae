#pragma once
// The benchmark's own HTTP/1.1 client, the same for vqflow and the peer.
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <cctype>
#include <stdexcept>
#include <string>

namespace vqflow::bench {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// A blocking HTTP/1.1 client on one kept-alive connection; reads and writes
// give up after 10 s so that a stuck server cannot hang the bench.
class HttpClient {
 public:
  explicit HttpClient(unsigned short port) : socket_(ioc_) {
    socket_.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    socket_.set_option(tcp::no_delay(true));
    timeval timeout{10, 0};
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }
  // Answers the status code (and the body into `answer` when given); throws
  // on a broken or timed-out connection.
  int post(const std::string& target, const std::string& body, std::string* answer = nullptr) {
    const std::string request =
        "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n\r\n" + body;
    net::write(socket_, net::buffer(request));
    const std::size_t header_end = net::read_until(socket_, buffer_, "\r\n\r\n");
    std::string header(net::buffers_begin(buffer_.data()),
                       net::buffers_begin(buffer_.data()) + static_cast<long>(header_end));
    buffer_.consume(header_end);
    if (header.size() < 12) throw std::runtime_error("short status line");
    const int status = std::stoi(header.substr(9, 3));
    std::string lower = header;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string key = "content-length: ";
    const auto at = lower.find(key);
    const std::size_t length =
        at == std::string::npos ? 0 : std::stoul(header.substr(at + key.size()));
    if (buffer_.size() < length)
      net::read(socket_, buffer_, net::transfer_exactly(length - buffer_.size()));
    if (answer != nullptr) {
      answer->assign(net::buffers_begin(buffer_.data()),
                     net::buffers_begin(buffer_.data()) + static_cast<long>(length));
    }
    buffer_.consume(length);
    return status;
  }

 private:
  net::io_context ioc_;
  tcp::socket socket_;
  net::streambuf buffer_;
};

}  // namespace vqflow::bench
