#pragma once
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "plugins/app_loader.h"

namespace vqflow::test {

// An app loader whose actions are plain functions registered by the test.
// load() of an unregistered app or action throws AppLoadError, like the real one.
class FakeAppLoader : public AppLoader {
 public:
  using Function = std::function<Value(const NamedArguments&)>;

  void add(const std::string& app_dir, const std::string& action, Function fn) {
    std::lock_guard lock(mutex_);
    actions_[{app_dir, action}] = std::move(fn);
  }

  std::shared_ptr<AppAction> load(const std::string& app_dir, const std::string& action) override {
    std::lock_guard lock(mutex_);
    auto it = actions_.find({app_dir, action});
    if (it == actions_.end()) throw AppLoadError("no action " + action + " in app " + app_dir);
    calls_.push_back(app_dir + "." + action);
    return std::make_shared<FunctionAction>(it->second);
  }

  // "app_dir.action" of every load, in order.
  std::vector<std::string> loads() const {
    std::lock_guard lock(mutex_);
    return calls_;
  }

 private:
  class FunctionAction : public AppAction {
   public:
    explicit FunctionAction(Function fn) : fn_(std::move(fn)) {}
    boost::asio::awaitable<Value> call(NamedArguments args, CallControl) override {
      co_return fn_(args);
    }

   private:
    Function fn_;
  };

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, std::string>, Function> actions_;
  std::vector<std::string> calls_;
};

}  // namespace vqflow::test
