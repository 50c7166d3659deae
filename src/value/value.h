#pragma once
#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"

namespace vqflow {

// The value model every subsystem shares: JSON values with member order kept.
// Null stands for an absent value (Python's None).
using Value = nlohmann::ordered_json;

inline constexpr std::size_t k_max_json_depth = 512;

// True when `text` reads as an integer: optional surrounding white space, an
// optional sign, ASCII decimal digits, single underscores between digits.
bool is_integer_text(std::string_view text);

// The integer that `text` reads as (see is_integer_text), saturated to the
// range of long long; absent when it does not read as an integer.
std::optional<long long> parse_integer(std::string_view text);

// The integer a value converts to: integers, finite reals (cut toward zero),
// booleans, and integer texts. Absent otherwise.
std::optional<long long> value_to_integer(const Value& value);

// Whether a value is to be treated as a JSON document: false for anything that
// converts to an integer, true for maps, lists and absent values, and for texts
// that parse as one JSON document (NaN/Infinity accepted). Never throws.
bool is_json(const Value& value);

// Text form of a value: a text as itself, True/False/None, reals as the shortest
// round-trip decimal, lists and maps with the literal form of their elements.
std::string text_form(const Value& value);

// Literal form: the text form, except that texts are quoted and escaped.
std::string literal_form(const Value& value);

// The shortest decimal that reads back as `real`, written as a plain decimal
// ("1.0", "123.25") for magnitudes in [1e-4, 1e16) and as mantissa and exponent
// otherwise ("1e+16", "1e-05"); "inf", "-inf", "nan".
std::string real_text(double real);

// JSON text on one line with ", " and ": " as separators; NaN, Infinity and
// -Infinity for non-finite reals. With ensure_ascii every non-ASCII character
// is written as \uXXXX (surrogate pairs beyond U+FFFF); otherwise kept as is.
// Invalid UTF-8 in a text is written as U+FFFD.
std::string json_text(const Value& value, bool ensure_ascii = true);

// Parses one JSON document (surrounding white space allowed), accepting NaN,
// Infinity and -Infinity. Throws JsonError with the position of the fault, also
// when arrays and objects nest deeper than max_depth.
Value parse_json(std::string_view text, std::size_t max_depth = k_max_json_depth);

// A member name that stands twice in one JSON object. The reader keeps the
// last value, at the place of the first.
struct DuplicateMember {
  Value parents;    // path to the object: member names (texts) and list indices (integers)
  std::string key;  // the repeated name
  TextPosition at;  // where the repeated name begins
};

// parse_json that also notes every repeated member name, in reading order.
Value parse_json_noting_duplicates(std::string_view text, std::vector<DuplicateMember>& duplicates,
                                   std::size_t max_depth = k_max_json_depth);

// parse_json that answers absent instead of throwing.
std::optional<Value> try_parse_json(std::string_view text,
                                    std::size_t max_depth = k_max_json_depth);

}  // namespace vqflow
