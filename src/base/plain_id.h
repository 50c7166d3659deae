#pragma once
#include <cstddef>
#include <string_view>

namespace vqflow {

// Ids (playbook uuids, node ids) end up inside store keys joined by "&&", in
// URLs and in request fields, so every entry point keeps them to short plain
// texts: 1 to k_max_id_length bytes, no control characters, no space, no "&&".
inline constexpr std::size_t k_max_id_length = 128;

bool is_plain_id(std::string_view text);

// The rule in words, for messages: "1 to 128 characters without ...".
inline constexpr std::string_view k_plain_id_rule =
    "1 to 128 characters without white space, control characters or \"&&\"";

}  // namespace vqflow
