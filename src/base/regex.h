#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/errors.h"

namespace vqflow {

// A pattern that does not compile, or a match that hit a limit or failed.
// what() is the whole message; kind(), reason() and offset() let a caller word
// its own.
class RegexError : public Error {
 public:
  enum class Kind {
    compile,        // the pattern is not valid; offset() says where
    limit,          // a match, depth or heap limit was hit
    match,          // any other failed match (invalid UTF-8 in a subject that refuses it)
    out_of_memory,  // the library could not allocate
  };

  explicit RegexError(Kind kind, const std::string& message, std::string reason = {},
                      std::size_t offset = 0)
      : Error(message), kind_(kind), reason_(std::move(reason)), offset_(offset) {}

  Kind kind() const { return kind_; }
  // The library's own words ("missing closing parenthesis"), without the
  // pattern; empty for out_of_memory.
  const std::string& reason() const { return reason_; }
  // For compile errors: the offset in the pattern where compiling stopped.
  std::size_t offset() const { return offset_; }

 private:
  Kind kind_;
  std::string reason_;
  std::size_t offset_;
};

// Bounds on one match attempt, so that hostile patterns or subjects fail fast
// instead of backtracking for minutes.
struct RegexLimits {
  std::uint32_t match_limit = 100000;
  std::uint32_t depth_limit = 10000;
  std::uint32_t heap_limit_kib = 20 * 1024;

  // The library's own bounds, as if none were set: for fixed patterns that run
  // in linear time.
  static RegexLimits library_defaults();
};

// What a Regex may be built with beyond its limits.
struct RegexOptions {
  RegexLimits limits;
  // A longer pattern fails to compile (a RegexError of kind compile); 0: no bound.
  std::size_t max_pattern_length = 0;
  // Subjects with invalid UTF-8 are matched (ill-formed bytes match no
  // character class); when false they are refused with a RegexError of kind match.
  bool match_invalid_utf = true;
};

// A compiled PCRE2 pattern: UTF and UCP (\w is any Unicode letter, digit or
// underscore), "." excludes only a line feed, and subjects with invalid UTF-8
// are matched rather than refused (unless the options say otherwise).
// Immutable once built; its operations may be called from several threads at once.
class Regex {
 public:
  // Throws RegexError "regex `(a`: at offset 2: missing closing parenthesis".
  explicit Regex(std::string_view pattern, RegexLimits limits = {});
  Regex(std::string_view pattern, const RegexOptions& options);

  // Whether the pattern matches somewhere in `subject` (an empty match counts).
  // Throws RegexError when a limit is hit.
  bool search(std::string_view subject) const;

  // Every non-overlapping match, left to right, as the whole matched text. An
  // empty match is kept and the search moves on by one character after it.
  // Throws RegexError when a limit is hit.
  std::vector<std::string> find_all(std::string_view subject) const;

  // The first match as the whole matched text followed by each capture group,
  // a group absent when it took no part in the match; absent when nothing
  // matches. Throws RegexError when a limit is hit or the subject is refused.
  using Groups = std::vector<std::optional<std::string>>;
  std::optional<Groups> first_match(std::string_view subject) const;

  const std::string& pattern() const { return pattern_; }

 private:
  struct Compiled;
  std::string pattern_;
  std::shared_ptr<const Compiled> compiled_;
};

}  // namespace vqflow
