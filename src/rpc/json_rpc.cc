#include "rpc/json_rpc.h"

#include <exception>

#include "value/value.h"

namespace vqflow {

namespace {

Value error_response(const Value& id, int code, const std::string& message) {
  Value out = Value::object();
  out["jsonrpc"] = "2.0";
  out["error"] = Value::object();
  out["error"]["code"] = code;
  out["error"]["message"] = message;
  out["id"] = id;
  return out;
}

bool valid_id(const Value& id) { return id.is_string() || id.is_number() || id.is_null(); }

// One call of a request or batch; absent for a notification.
std::optional<Value> answer_call(const RpcRegistry& registry, const Value& call) {
  if (!call.is_object()) {
    return error_response(nullptr, k_rpc_invalid_request, "invalid request: not an object");
  }
  const bool notification = !call.contains("id");
  Value id = notification ? Value(nullptr) : call["id"];
  if (!valid_id(id)) {
    return error_response(nullptr, k_rpc_invalid_request,
                          "invalid request: \"id\" must be a string, a number or null");
  }
  auto version = call.find("jsonrpc");
  if (version == call.end() || *version != "2.0") {
    return error_response(id, k_rpc_invalid_request,
                          "invalid request: \"jsonrpc\" must be \"2.0\"");
  }
  auto method_name = call.find("method");
  if (method_name == call.end() || !method_name->is_string()) {
    return error_response(id, k_rpc_invalid_request,
                          "invalid request: \"method\" must be a string");
  }
  Value params = Value::object();
  if (auto p = call.find("params"); p != call.end()) {
    if (p->is_array()) {
      // Well-formed but unsupported: methods take their params by name.
      if (notification) return std::nullopt;
      return error_response(id, k_rpc_invalid_params,
                            "invalid params: params must be given by name (an object)");
    }
    if (!p->is_object()) {
      return error_response(id, k_rpc_invalid_request,
                            "invalid request: \"params\" must be an object");
    }
    params = *p;
  }
  const std::string& name = method_name->get_ref<const std::string&>();
  const RpcMethod* method = registry.find(name);
  if (method == nullptr) {
    if (notification) return std::nullopt;
    return error_response(id, k_rpc_method_not_found, "method not found: " + name);
  }
  Value result;
  try {
    result = (*method)(params);
  } catch (const RpcError& e) {
    if (notification) return std::nullopt;
    return error_response(id, e.code(), e.what());
  } catch (const std::exception& e) {
    if (notification) return std::nullopt;
    return error_response(id, k_rpc_server_error, e.what());
  } catch (...) {
    if (notification) return std::nullopt;
    return error_response(id, k_rpc_server_error, "unknown error");
  }
  if (notification) return std::nullopt;
  Value out = Value::object();
  out["jsonrpc"] = "2.0";
  out["result"] = std::move(result);
  out["id"] = id;
  return out;
}

}  // namespace

std::optional<std::string> handle_json_rpc(const RpcRegistry& registry, std::string_view text) {
  std::optional<Value> request;
  try {
    request = parse_json(text);
  } catch (const std::exception& e) {
    return json_text(
        error_response(nullptr, k_rpc_parse_error, std::string("parse error: ") + e.what()), false);
  }
  if (!request->is_array()) {
    auto answer = answer_call(registry, *request);
    if (!answer) return std::nullopt;
    return json_text(*answer, false);
  }
  if (request->empty()) {
    return json_text(error_response(nullptr, k_rpc_invalid_request, "invalid request: empty batch"),
                     false);
  }
  if (request->size() > k_rpc_max_batch) {
    return json_text(
        error_response(nullptr, k_rpc_invalid_request,
                       "invalid request: batch of " + std::to_string(request->size()) +
                           " calls, at most " + std::to_string(k_rpc_max_batch) + " allowed"),
        false);
  }
  Value answers = Value::array();
  for (const Value& call : *request) {
    if (auto answer = answer_call(registry, call)) answers.push_back(std::move(*answer));
  }
  if (answers.empty()) return std::nullopt;
  return json_text(answers, false);
}

void add_ping_method(RpcRegistry& registry) {
  registry.add("ping", [](const Value&) -> Value { return "pong"; });
}

}  // namespace vqflow
