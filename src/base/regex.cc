#include "base/regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <fmt/format.h>
#include <pcre2.h>

namespace vqflow {

namespace {

std::string error_text(int code) {
  PCRE2_UCHAR buffer[256];
  if (pcre2_get_error_message(code, buffer, sizeof buffer) < 0)
    return fmt::format("error {}", code);
  return reinterpret_cast<const char*>(buffer);
}

[[noreturn]] void out_of_memory() {
  throw RegexError(RegexError::Kind::out_of_memory, "regex: out of memory");
}

struct MatchData {
  explicit MatchData(const pcre2_code* code)
      : data(pcre2_match_data_create_from_pattern(code, nullptr)) {
    if (data == nullptr) out_of_memory();
  }
  ~MatchData() { pcre2_match_data_free(data); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;
  pcre2_match_data* data;
};

RegexOptions options_with(RegexLimits limits) {
  RegexOptions options;
  options.limits = limits;
  return options;
}

}  // namespace

struct Regex::Compiled {
  pcre2_code* code = nullptr;
  pcre2_match_context* context = nullptr;
  ~Compiled() {
    pcre2_match_context_free(context);
    pcre2_code_free(code);
  }

  // One match attempt from `offset`: the count of groups set (1 and more), or
  // 0 for no match.
  int run(const std::string& pattern, std::string_view subject, std::size_t offset,
          std::uint32_t options, MatchData& data) const {
    const int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(),
                               offset, options, data.data, context);
    if (rc == PCRE2_ERROR_NOMATCH) return 0;
    if (rc < 0) {
      const bool limit = rc == PCRE2_ERROR_MATCHLIMIT || rc == PCRE2_ERROR_DEPTHLIMIT ||
                         rc == PCRE2_ERROR_HEAPLIMIT;
      std::string reason = error_text(rc);
      throw RegexError(limit ? RegexError::Kind::limit : RegexError::Kind::match,
                       fmt::format("regex `{}`: {}{}", pattern, reason,
                                   limit ? " (the pattern backtracks too much on this text)" : ""),
                       reason);
    }
    return rc;
  }

  // One match attempt from `offset`: true with the match bounds, false for no match.
  bool match(const std::string& pattern, std::string_view subject, std::size_t offset,
             std::uint32_t options, MatchData& data, std::size_t& start, std::size_t& end) const {
    if (run(pattern, subject, offset, options, data) == 0) return false;
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.data);
    start = ovector[0];
    end = ovector[1];
    // \K in a lookbehind can put the end before the start; treat it as empty.
    if (end < start) end = start;
    return true;
  }
};

RegexLimits RegexLimits::library_defaults() {
  RegexLimits limits;
  pcre2_config(PCRE2_CONFIG_MATCHLIMIT, &limits.match_limit);
  pcre2_config(PCRE2_CONFIG_DEPTHLIMIT, &limits.depth_limit);
  pcre2_config(PCRE2_CONFIG_HEAPLIMIT, &limits.heap_limit_kib);
  return limits;
}

Regex::Regex(std::string_view pattern, RegexLimits limits) : Regex(pattern, options_with(limits)) {}

Regex::Regex(std::string_view pattern, const RegexOptions& options) : pattern_(pattern) {
  auto compiled = std::make_shared<Compiled>();
  pcre2_compile_context* compile_context = pcre2_compile_context_create(nullptr);
  if (compile_context == nullptr) out_of_memory();
  pcre2_set_newline(compile_context, PCRE2_NEWLINE_LF);
  if (options.max_pattern_length != 0)
    pcre2_set_max_pattern_length(compile_context, options.max_pattern_length);
  int code = 0;
  PCRE2_SIZE offset = 0;
  const std::uint32_t flags =
      PCRE2_UTF | PCRE2_UCP | (options.match_invalid_utf ? PCRE2_MATCH_INVALID_UTF : 0);
  compiled->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                 flags, &code, &offset, compile_context);
  pcre2_compile_context_free(compile_context);
  if (compiled->code == nullptr) {
    std::string reason = error_text(code);
    throw RegexError(RegexError::Kind::compile,
                     fmt::format("regex `{}`: at offset {}: {}", pattern_, offset, reason), reason,
                     offset);
  }
  compiled->context = pcre2_match_context_create(nullptr);
  if (compiled->context == nullptr) out_of_memory();
  pcre2_set_match_limit(compiled->context, options.limits.match_limit);
  pcre2_set_depth_limit(compiled->context, options.limits.depth_limit);
  pcre2_set_heap_limit(compiled->context, options.limits.heap_limit_kib);
  compiled_ = std::move(compiled);
}

bool Regex::search(std::string_view subject) const {
  MatchData data(compiled_->code);
  std::size_t start = 0, end = 0;
  return compiled_->match(pattern_, subject, 0, 0, data, start, end);
}

std::vector<std::string> Regex::find_all(std::string_view subject) const {
  std::vector<std::string> matches;
  MatchData data(compiled_->code);
  std::size_t offset = 0;
  bool after_empty = false;
  while (offset <= subject.size()) {
    std::size_t start = 0, end = 0;
    // After an empty match, first look for a non-empty match at the same place.
    const std::uint32_t options = after_empty ? PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED : 0;
    if (!compiled_->match(pattern_, subject, offset, options, data, start, end)) {
      if (!after_empty) break;
      // Move on by one character (all bytes of a UTF-8 sequence).
      ++offset;
      while (offset < subject.size() &&
             (static_cast<unsigned char>(subject[offset]) & 0xC0) == 0x80) {
        ++offset;
      }
      after_empty = false;
      continue;
    }
    matches.emplace_back(subject.substr(start, end - start));
    after_empty = end == start;
    offset = end;
  }
  return matches;
}

std::optional<Regex::Groups> Regex::first_match(std::string_view subject) const {
  MatchData data(compiled_->code);
  const int set = compiled_->run(pattern_, subject, 0, 0, data);
  if (set == 0) return std::nullopt;
  std::uint32_t groups = 0;
  pcre2_pattern_info(compiled_->code, PCRE2_INFO_CAPTURECOUNT, &groups);
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.data);
  Groups found;
  found.reserve(groups + 1);
  for (std::uint32_t i = 0; i <= groups; ++i) {
    const PCRE2_SIZE begin = ovector[2 * std::size_t{i}], end = ovector[2 * std::size_t{i} + 1];
    if (static_cast<int>(i) >= set || begin == PCRE2_UNSET || end < begin) {
      found.emplace_back(std::nullopt);
    } else {
      found.emplace_back(std::string(subject.substr(begin, end - begin)));
    }
  }
  return found;
}

}  // namespace vqflow
