#include "apps/pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <memory>

#include <fmt/format.h>

#include "platform/errors.h"

namespace vqflow {

namespace {

// Backstops: the patterns used here scan in linear time, and a single match may
// legitimately span a long line; a pathological pattern or subject still fails
// in well under a second instead of running for minutes.
constexpr uint32_t k_match_limit = 50'000'000;
constexpr uint32_t k_depth_limit = 10'000;
constexpr uint32_t k_heap_limit_kib = 64 * 1024;

std::string pcre2_message(int code) {
  PCRE2_UCHAR buffer[256];
  int n = pcre2_get_error_message(code, buffer, sizeof buffer);
  if (n < 0) return fmt::format("PCRE2 error {}", code);
  return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

}  // namespace

struct Pattern::Compiled {
  std::string source;
  pcre2_code* code = nullptr;
  pcre2_match_context* match_context = nullptr;
};

Pattern::Pattern(std::string_view pattern) : compiled_(new Compiled) {
  compiled_->source = std::string(pattern);
  pcre2_compile_context* compile_context = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(compile_context, PCRE2_NEWLINE_LF);
  int error = 0;
  PCRE2_SIZE offset = 0;
  compiled_->code =
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                    PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF, &error, &offset,
                    compile_context);
  pcre2_compile_context_free(compile_context);
  if (compiled_->code == nullptr) {
    std::string message = fmt::format("pattern {}: offset {}: {}", compiled_->source, offset,
                                      pcre2_message(error));
    delete compiled_;
    throw ValueError(message);
  }
  // JIT is optional: without it the interpreter runs the same pattern.
  pcre2_jit_compile(compiled_->code, PCRE2_JIT_COMPLETE);
  compiled_->match_context = pcre2_match_context_create(nullptr);
  pcre2_set_match_limit(compiled_->match_context, k_match_limit);
  pcre2_set_depth_limit(compiled_->match_context, k_depth_limit);
  pcre2_set_heap_limit(compiled_->match_context, k_heap_limit_kib);
}

Pattern::~Pattern() {
  pcre2_match_context_free(compiled_->match_context);
  pcre2_code_free(compiled_->code);
  delete compiled_;
}

void Pattern::find_all(std::string_view subject, std::vector<std::string_view>& out) const {
  std::unique_ptr<pcre2_match_data, decltype(&pcre2_match_data_free)> holder(
      pcre2_match_data_create_from_pattern(compiled_->code, nullptr), &pcre2_match_data_free);
  pcre2_match_data* data = holder.get();
  if (data == nullptr) throw ValueError("pattern " + compiled_->source + ": out of memory");
  const auto* begin = reinterpret_cast<PCRE2_SPTR>(subject.data());
  PCRE2_SIZE offset = 0;
  while (offset <= subject.size()) {
    int rc = pcre2_match(compiled_->code, begin, subject.size(), offset, 0, data,
                         compiled_->match_context);
    if (rc == PCRE2_ERROR_NOMATCH) break;
    if (rc < 0) {
      throw ValueError(fmt::format("pattern {}: matching a text of {} bytes: {}",
                                   compiled_->source, subject.size(), pcre2_message(rc)));
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data);
    out.push_back(subject.substr(ovector[0], ovector[1] - ovector[0]));
    if (ovector[1] > ovector[0]) {
      offset = ovector[1];
      continue;
    }
    // An empty match: step over one character so the search moves on.
    offset = ovector[1] + 1;
    while (offset < subject.size() && (static_cast<unsigned char>(subject[offset]) & 0xC0) == 0x80) {
      ++offset;
    }
  }
}

}  // namespace vqflow
