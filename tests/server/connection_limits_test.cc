#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "rpc/json_rpc.h"
#include "server/server.h"
#include "support/processes.h"
#include "support/raw_http_client.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;
using test::ClientSocket;

std::string ping_request(const std::string& token, bool keep_alive = false) {
  const std::string body = R"({"jsonrpc": "2.0", "method": "ping", "id": 1})";
  return "POST /rpc HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + token +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         (keep_alive ? "" : "\r\nConnection: close") + "\r\n\r\n" + body;
}

bool is_pong(const std::string& answer) {
  return answer.rfind("HTTP/1.1 200", 0) == 0 && answer.find("\"pong\"") != std::string::npos;
}

// A token-guarded server with the ping method, on a thread of its own.
class ConnectionLimitsTest : public ::testing::Test {
 protected:
  void start(ServerOptions options = {}) {
    add_ping_method(rpc_);
    ApiOptions api_options;
    api_options.token = "secret";
    api_ = std::make_unique<Api>(nullptr, &rpc_, nullptr, api_options);
    options.listen = {"127.0.0.1", 0};
    server_ = std::make_unique<Server>(ioc_, *api_, options);
    server_->start();
    port_ = server_->port();
    thread_ = std::thread([this] { ioc_.run(); });
  }
  void TearDown() override {
    if (!thread_.joinable()) return;
    boost::asio::post(ioc_, [this] { server_->close_all(); });
    ioc_.stop();
    thread_.join();
  }

  boost::asio::io_context ioc_;
  RpcRegistry rpc_;
  std::unique_ptr<Api> api_;
  std::unique_ptr<Server> server_;
  unsigned short port_ = 0;
  std::thread thread_;
};

TEST_F(ConnectionLimitsTest, ThousandIdleSocketsDoNotLockOutAnAuthenticatedClient) {
  start();
  std::vector<std::unique_ptr<ClientSocket>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<ClientSocket>("127.0.0.1", port_));
    ASSERT_TRUE(idle.back()->connected()) << "socket " << i;
  }
  // Beyond its share of unadmitted connections, the address is turned away at once.
  std::size_t closed = 0;
  test::eventually([&] {
    closed = 0;
    for (auto& socket : idle) closed += socket->closed_by_server(0ms) ? 1 : 0;
    return closed >= 1000u - 64u;
  });
  EXPECT_EQ(closed, 1000u - 64u);

  ClientSocket client("127.0.0.2", port_);
  ASSERT_TRUE(client.connected());
  const std::string answer = client.exchange(ping_request("secret"));
  EXPECT_TRUE(is_pong(answer)) << answer;
}

TEST_F(ConnectionLimitsTest, AdmittedConnectionsNoLongerCountAgainstTheirAddress) {
  start();
  // 64 clients that authenticate and stay connected free their address's share.
  std::vector<std::unique_ptr<ClientSocket>> kept;
  for (int i = 0; i < 64; ++i) {
    kept.push_back(std::make_unique<ClientSocket>("127.0.0.3", port_));
    const std::string answer = kept.back()->exchange(ping_request("secret", true), 300ms);
    ASSERT_TRUE(is_pong(answer)) << i << ": " << answer;
  }
  ClientSocket next("127.0.0.3", port_);
  EXPECT_TRUE(is_pong(next.exchange(ping_request("secret"))));
  // A wrong token admits nothing, and its connection is closed, so holds no share.
  std::vector<std::unique_ptr<ClientSocket>> refused;
  for (int i = 0; i < 64; ++i) {
    refused.push_back(std::make_unique<ClientSocket>("127.0.0.4", port_));
    const std::string answer = refused.back()->exchange(ping_request("wrong", true), 300ms);
    ASSERT_EQ(answer.rfind("HTTP/1.1 401", 0), 0u) << answer;
    EXPECT_TRUE(refused.back()->closed_by_server(2000ms));
  }
  ClientSocket after("127.0.0.4", port_);
  EXPECT_TRUE(is_pong(after.exchange(ping_request("secret"))));
}

TEST_F(ConnectionLimitsTest, SilentConnectionsCloseAtTheFirstRequestDeadline) {
  ServerOptions options;
  options.first_request_timeout = 200ms;
  start(options);
  ClientSocket silent("127.0.0.5", port_);
  const auto opened = std::chrono::steady_clock::now();
  EXPECT_TRUE(silent.closed_by_server(5000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - opened, 2s);
  // Once a request went through, the connection waits the longer request timeout.
  ClientSocket kept("127.0.0.5", port_);
  ASSERT_TRUE(is_pong(kept.exchange(ping_request("secret", true), 300ms)));
  EXPECT_FALSE(kept.closed_by_server(600ms));
  EXPECT_TRUE(is_pong(kept.exchange(ping_request("secret"))));
}

}  // namespace
}  // namespace vqflow
