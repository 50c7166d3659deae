#include "base/spawn_logged.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/system_error.hpp>
#include <stdexcept>

#include "base/errors.h"
#include "support/log_capture.h"

// g++ 12 misreads Asio 1.18's coroutine frame allocator.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {
namespace {

using ::testing::ElementsAre;

boost::asio::awaitable<void> finishes() { co_return; }

boost::asio::awaitable<void> throws_store_error() {
  throw StoreError("redis GET x: connection refused");
  co_return;
}

boost::asio::awaitable<void> is_cancelled() {
  throw boost::system::system_error(boost::asio::error::operation_aborted);
  co_return;
}

TEST(SpawnLogged, LogsAnEscapedExceptionOnceAndPassesItOn) {
  test::LogCapture log;
  boost::asio::io_context ioc;
  std::vector<std::string> seen;
  auto note = [&seen](std::exception_ptr error) { seen.push_back(error ? "error" : "done"); };
  spawn_logged(ioc, finishes(), "quiet work", note);
  spawn_logged(ioc, throws_store_error(), "store work", note);
  spawn_logged(ioc.get_executor(), is_cancelled(), "stopped work", note);
  spawn_logged(ioc, throws_store_error(), "work nobody waits for");
  ioc.run();
  EXPECT_THAT(seen, ElementsAre("done", "error", "error"));
  EXPECT_THAT(log.at_level(spdlog::level::err),
              ElementsAre("store work failed: vqflow::StoreError: redis GET x: connection refused",
                          "work nobody waits for failed: vqflow::StoreError: redis GET x: "
                          "connection refused"));
}

TEST(SpawnLogged, OnlyOperationAbortedIsACancellation) {
  auto as_ptr = [](auto error) { return std::make_exception_ptr(error); };
  EXPECT_TRUE(
      is_cancellation(as_ptr(boost::system::system_error(boost::asio::error::operation_aborted))));
  EXPECT_FALSE(
      is_cancellation(as_ptr(boost::system::system_error(boost::asio::error::connection_refused))));
  EXPECT_FALSE(is_cancellation(as_ptr(std::runtime_error("operation aborted"))));
  EXPECT_FALSE(is_cancellation(nullptr));
}

}  // namespace
}  // namespace vqflow
