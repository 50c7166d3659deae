#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace vqflow {

// Small text rules shared by every layer. Bytes, not characters: separators
// and removed texts are matched byte for byte, which is exact on UTF-8.

// The pieces of `text` between the occurrences of `separator` (non-empty):
// a text without it gives one piece, an empty text one empty piece.
std::vector<std::string> split(std::string_view text, std::string_view separator);

// `text` with every occurrence of `what` (non-empty) removed, left to right.
std::string remove_all(std::string_view text, std::string_view what);

// `text` without any of the bytes in `bytes`.
std::string without_bytes(std::string_view text, std::string_view bytes);

// ASCII case-insensitive equality (header names, host names).
bool iequals(std::string_view a, std::string_view b);

// `text` with ASCII letters in lower case.
std::string ascii_lower(std::string_view text);

}  // namespace vqflow
