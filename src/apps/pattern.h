#pragma once
#include <cstddef>
#include <string_view>
#include <vector>

namespace vqflow {

// A regular expression compiled once with PCRE2: UTF and UCP (`\w` is any
// Unicode letter, digit or underscore), the line feed as the only newline (so
// `.` is anything but U+000A), and bounded matching. Subjects that are not valid
// UTF-8 are accepted; invalid bytes simply never match. A compiled pattern is
// immutable and may be shared by threads.
class Pattern {
 public:
  // Throws ValueError when the pattern does not compile.
  explicit Pattern(std::string_view pattern);
  ~Pattern();
  Pattern(const Pattern&) = delete;
  Pattern& operator=(const Pattern&) = delete;

  // Appends every non-overlapping match in `subject`, left to right, as views
  // into `subject`. Throws ValueError when a match limit is reached.
  void find_all(std::string_view subject, std::vector<std::string_view>& out) const;

 private:
  struct Compiled;
  Compiled* compiled_;
};

}  // namespace vqflow
