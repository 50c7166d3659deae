#include "base/spawn_logged.h"

#include <spdlog/spdlog.h>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include "base/error_text.h"

namespace vqflow {

bool is_cancellation(std::exception_ptr error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

void log_escaped(const std::string& what, std::exception_ptr error) noexcept {
  if (!error || is_cancellation(error)) return;
  try {
    spdlog::error("{} failed: {}", what, describe_exception(error));
  } catch (...) {  // the process log itself failed: nowhere left to say it
  }
}

}  // namespace vqflow
