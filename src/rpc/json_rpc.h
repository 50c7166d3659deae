#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "rpc/rpc_registry.h"

namespace vqflow {

// JSON-RPC 2.0 error codes.
inline constexpr int k_rpc_parse_error = -32700;
inline constexpr int k_rpc_invalid_request = -32600;
inline constexpr int k_rpc_method_not_found = -32601;
inline constexpr int k_rpc_invalid_params = -32602;
inline constexpr int k_rpc_server_error = -32000;

// Most calls one batch may carry; a longer batch is refused as a whole.
inline constexpr std::size_t k_rpc_max_batch = 100;

// Answers one JSON-RPC 2.0 request text (a single call or a batch) against the
// registry's methods: params by name (an object; absent means {}), a method's
// RpcError keeps its code, any other exception becomes a server error with its
// message. Absent when nothing is to be answered (notifications only).
// Runs the methods on the calling thread, one after another.
std::optional<std::string> handle_json_rpc(const RpcRegistry& registry, std::string_view text);

// Adds "ping": answers "pong" whatever params it gets.
void add_ping_method(RpcRegistry& registry);

}  // namespace vqflow
