#pragma once
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context/client_connection.h"
#include "context/services.h"

namespace vqflow::test {

// Runs one coroutine to its end on a private io_context and answers its result
// (rethrowing what escaped it).
template <typename T>
T run_sync(boost::asio::awaitable<T> task) {
  boost::asio::io_context ioc;
  auto future = boost::asio::co_spawn(ioc, std::move(task), boost::asio::use_future);
  ioc.run();
  return future.get();
}

// Runs handlers of `ioc` on this thread until `done` holds; false when `limit`
// passes first. For loops whose work the test itself drives.
template <typename Done>
bool run_until(boost::asio::io_context& ioc, Done done,
               std::chrono::milliseconds limit = std::chrono::seconds(15)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (ioc.run_one_until(deadline) == 0) return done();
  }
  return true;
}

// A client connection that records every message; optionally throws on send.
class RecordingConnection : public ClientConnection {
 public:
  void send(const std::string& text) override {
    messages.push_back(text);
    if (fail) throw std::runtime_error("connection closed");
  }
  std::vector<std::string> messages;
  bool fail = false;
};

// A fresh folder under the system's temporary folder, removed on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// URLs of the live servers the test command started, or absent when the tests
// run without them (the live suites then skip).
std::optional<std::string> live_redis_url();  // VQFLOW_TEST_REDIS
std::optional<std::string> live_pg_url();     // VQFLOW_TEST_PG (a fresh schema per call)

// Services on a private SQLite file in `dir` and an in-memory key-value store,
// with `apps_path` as apps folder. The executor is left empty (set it when needed).
std::shared_ptr<Services> make_test_services(const TempDir& dir, const std::string& apps_path = "");

}  // namespace vqflow::test
