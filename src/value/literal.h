#pragma once
#include <cstddef>
#include <string_view>

#include "base/errors.h"
#include "value/value.h"

namespace vqflow {

// A text is not in the literal notation (or nests too deeply); the message names
// the offset and what was wrong.
class LiteralError : public Error {
 public:
  using Error::Error;
};

// Reads one value in the literal notation of collection texts:
//   lists [a, b], tuples (a, b) (read as lists; "(x)" is just x), maps {k: v},
//   texts in single or double quotes (also triple quotes, r/u prefixes, adjacent
//   texts joined) with backslash escapes, integers (sign, underscores between
//   digits, 0x/0o/0b), decimal numbers (1.5, .5, 1e3), True, False and None.
// Trailing commas and white space between tokens are allowed. The JSON words
// true, false and null are not part of it. Map keys must be texts, numbers,
// True, False or None; other keys are stored in their text form, and a repeated
// key keeps its first position with the last value. Integers beyond 64 bits
// become reals; escapes of lone surrogates become U+FFFD. Throws LiteralError,
// also when lists and maps nest deeper than max_depth.
Value parse_literal(std::string_view text, std::size_t max_depth = k_max_json_depth);

}  // namespace vqflow
