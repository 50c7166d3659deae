#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"

namespace vqflow {

// A pattern that does not compile, or a match that hit a limit or failed.
class RegexError : public Error {
 public:
  using Error::Error;
};

// Bounds on one match attempt, so that hostile patterns or subjects fail fast
// instead of backtracking for minutes.
struct RegexLimits {
  std::uint32_t match_limit = 100000;
  std::uint32_t depth_limit = 10000;
  std::uint32_t heap_limit_kib = 20 * 1024;
};

// A compiled PCRE2 pattern: UTF and UCP (\w is any Unicode letter, digit or
// underscore), "." excludes only a line feed, and subjects with invalid UTF-8
// are matched rather than refused. Immutable once built; its operations may be
// called from several threads at once.
class Regex {
 public:
  // Throws RegexError "regex `(a`: at offset 2: missing closing parenthesis".
  explicit Regex(std::string_view pattern, RegexLimits limits = {});

  // Whether the pattern matches somewhere in `subject` (an empty match counts).
  // Throws RegexError when a limit is hit.
  bool search(std::string_view subject) const;

  // Every non-overlapping match, left to right, as the whole matched text. An
  // empty match is kept and the search moves on by one character after it.
  // Throws RegexError when a limit is hit.
  std::vector<std::string> find_all(std::string_view subject) const;

  const std::string& pattern() const { return pattern_; }

 private:
  struct Compiled;
  std::string pattern_;
  std::shared_ptr<const Compiled> compiled_;
};

}  // namespace vqflow
