#pragma once
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/errors.h"
#include "value/value.h"

namespace vqflow {

// A remote call that failed in a way the caller should see with a specific
// JSON-RPC error code (e.g. -32602 invalid params). Other exceptions become
// server errors carrying their message.
class RpcError : public Error {
 public:
  RpcError(int code, const std::string& message) : Error(message), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// A method takes its params by name (a JSON object, empty when none were
// given) and answers its result; it may throw.
using RpcMethod = std::function<Value(const Value& params)>;

// The methods reachable over the remote-call transport. Filled before the
// server starts; read-only afterwards. Methods are called one at a time on the
// Api's rpc_executor (the run loop in `vqflow serve`), else on the server's loop.
class RpcRegistry {
 public:
  void add(const std::string& name, RpcMethod method) { methods_[name] = std::move(method); }
  const RpcMethod* find(const std::string& name) const {
    auto it = methods_.find(name);
    return it == methods_.end() ? nullptr : &it->second;
  }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& [name, method] : methods_) out.push_back(name);
    return out;
  }

 private:
  std::map<std::string, RpcMethod> methods_;
};

}  // namespace vqflow
