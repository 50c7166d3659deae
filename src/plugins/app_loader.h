#pragma once
#include <boost/asio/awaitable.hpp>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "plugins/call_control.h"
#include "value/value.h"

namespace vqflow {

using NamedArguments = std::vector<std::pair<std::string, std::string>>;

// One action of an app plug-in, ready to call. Calls may run concurrently.
class AppAction {
 public:
  virtual ~AppAction() = default;
  // Calls the action with named text arguments and answers its result (any
  // value; the caller checks that it is a map). Throws AppArgumentError when the
  // action refuses the arguments or their types, AppCallError for any other failure.
  // `control` carries the call's idempotency key and the signal that stops it:
  // a stopped call ends its process group and throws AppStoppedError.
  virtual boost::asio::awaitable<Value> call(NamedArguments args, CallControl control) = 0;
  boost::asio::awaitable<Value> call(NamedArguments args) {
    return call(std::move(args), CallControl{});
  }
};

// Finds app plug-ins under the apps directory. Safe to call from any thread.
class AppLoader {
 public:
  virtual ~AppLoader() = default;
  // The action `action` of the app in `app_dir`. Throws AppLoadError with what
  // is missing (bad app_dir, no plug-in, not executable, no such action).
  virtual std::shared_ptr<AppAction> load(const std::string& app_dir,
                                          const std::string& action) = 0;
};

}  // namespace vqflow
