#pragma once
#include <string>
#include <string_view>

namespace vqflow {

// True when `text` holds a backslash, "u" and at least one word character
// (letter, digit or underscore, Unicode included): a likely \uXXXX escape.
bool has_unicode_escape(std::string_view text);

// Decodes the backslash escapes of string literals (\uXXXX, \UXXXXXXXX, \xXX,
// octal \ooo, \\, \', \", \n \t \r \a \b \f \v, backslash-newline) and keeps every
// other character as it is, non-ASCII ones included. A surrogate pair written as
// two \u escapes becomes one character; a lone surrogate becomes U+FFFD. An
// unknown escape is kept as written. Throws ValueError for an escape that is cut
// short or malformed (e.g. "\u12" or "\xZ1"), and for \N{...} names.
std::string decode_escapes(std::string_view text);

}  // namespace vqflow
