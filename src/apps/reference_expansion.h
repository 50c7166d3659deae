#pragma once
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "context/run_state.h"
#include "value/value.h"

namespace vqflow {

// Outcome of reference expansion: status 0 and the expanded text, or status 1
// and the message that says why the expansion failed.
struct Expansion {
  int status = 0;
  std::string text;
};

// Reads what an earlier node of the run left under (node id, field); absent
// when the key is missing. A store failure (StoreError) propagates out of the
// expansion.
using AppValueReader =
    std::function<std::optional<std::string>(const std::string& node_id, const std::string& field)>;

// An expanded text may grow up to this size (or the size of the given text,
// when that is larger); beyond it expansion throws ValueError instead of
// exhausting memory.
inline constexpr std::size_t k_max_expanded_bytes = 64u << 20;

// Replaces the global (@{name}), local (@[name]) and app (@(node-id.field!>step...))
// references of `text` by their values. `local_var_data` is null (no local
// variables), a map (the local table) or the unparsed definitions text;
// `global_var_data` is null or a map. Status 1 and a message when a reference
// cannot be resolved; stored bytes that are not UTF-8 text count as a missing
// key. Reads each stored key at most once. Throws what the reader throws, and
// for hostile texts: RegexError for a match limit, ValueError for the size
// limit above.
Expansion expand_references(std::string_view text, const Value& local_var_data,
                            const Value& global_var_data, const AppValueReader& read_app_value);

// The JSON document that a stored text holds: absent when the text fails the
// JSON test; a JSON string that itself holds JSON gives the inner document
// (results that were JSON texts are stored encoded once more). No I/O.
std::optional<Value> stored_json_document(const std::string& text);

// Every match of the global (@{name}), local (@[name]) and app reference
// patterns in `text`, left to right.
std::vector<std::string> find_global_references(std::string_view text);
std::vector<std::string> find_local_references(std::string_view text);
std::vector<std::string> find_app_references(std::string_view text);

// The patterns themselves (PCRE2, UTF + UCP); the finders above give exactly
// their matches.
const char* global_reference_pattern();
const char* local_reference_pattern();
const char* app_reference_pattern();

namespace apps {

// Expands the references of `text` against the run's tables and the values its
// earlier nodes left in the key-value store; a failed store read throws StoreError.
Expansion analysis_var(RunState& run, const std::string& text);

}  // namespace apps
}  // namespace vqflow
