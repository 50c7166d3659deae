#include "records/escape_decoding.h"

#include <fmt/format.h>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "base/errors.h"
#include "base/utf8.h"

namespace vqflow {

namespace {


// "\\u\w\w*" compiled once; pcre2_code is read-only after compilation, so the
// pattern is shared by every thread, each match getting its own match data.
const pcre2_code* unicode_escape_pattern() {
  static const pcre2_code* code = [] {
    int error = 0;
    PCRE2_SIZE offset = 0;
    const char* pattern = R"(\\u\w\w*)";
    return pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED,
                         PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF, &error, &offset,
                         nullptr);
  }();
  return code;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char32_t read_hex(std::string_view text, std::size_t pos, std::size_t digits, char escape) {
  if (pos + digits > text.size()) {
    throw ValueError(fmt::format("truncated \\{} escape at position {}", escape, pos - 2));
  }
  char32_t value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    int v = hex_value(text[pos + i]);
    if (v < 0) throw ValueError(fmt::format("truncated \\{} escape at position {}", escape, pos - 2));
    value = value * 16 + static_cast<char32_t>(v);
  }
  return value;
}

}  // namespace

bool has_unicode_escape(std::string_view text) {
  if (text.find("\\u") == std::string_view::npos) return false;  // the usual case, found cheaply
  const pcre2_code* code = unicode_escape_pattern();
  if (code == nullptr) return text.find("\\u") != std::string_view::npos;
  pcre2_match_data* data = pcre2_match_data_create_from_pattern(code, nullptr);
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, data,
                       nullptr);
  pcre2_match_data_free(data);
  return rc > 0;
}

std::string decode_escapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char32_t pending_high = 0;  // a high surrogate waiting for its low half
  auto flush_high = [&] {
    if (pending_high != 0) append_utf8(out, 0xFFFD);
    pending_high = 0;
  };
  auto emit = [&](char32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      flush_high();
      pending_high = cp;
      return;
    }
    if (cp >= 0xDC00 && cp <= 0xDFFF && pending_high != 0) {
      append_utf8(out, 0x10000 + ((pending_high - 0xD800) << 10) + (cp - 0xDC00));
      pending_high = 0;
      return;
    }
    flush_high();
    append_utf8(out, cp);
  };
  std::size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c != '\\') {
      flush_high();
      out += c;
      ++i;
      continue;
    }
    if (i + 1 >= text.size()) throw ValueError("\\ at end of string");
    char e = text[i + 1];
    i += 2;
    switch (e) {
      case 'u':
        emit(read_hex(text, i, 4, 'u'));
        i += 4;
        break;
      case 'U':
        emit(read_hex(text, i, 8, 'U'));
        i += 8;
        break;
      case 'x':
        emit(read_hex(text, i, 2, 'x'));
        i += 2;
        break;
      case 'N':
        throw ValueError(fmt::format("\\N{{...}} escape at position {} is not supported", i - 2));
      case '\n':
        flush_high();
        break;
      case '\\': flush_high(); out += '\\'; break;
      case '\'': flush_high(); out += '\''; break;
      case '"': flush_high(); out += '"'; break;
      case 'n': flush_high(); out += '\n'; break;
      case 't': flush_high(); out += '\t'; break;
      case 'r': flush_high(); out += '\r'; break;
      case 'a': flush_high(); out += '\a'; break;
      case 'b': flush_high(); out += '\b'; break;
      case 'f': flush_high(); out += '\f'; break;
      case 'v': flush_high(); out += '\v'; break;
      default:
        if (e >= '0' && e <= '7') {
          char32_t value = static_cast<char32_t>(e - '0');
          for (int k = 0; k < 2 && i < text.size() && text[i] >= '0' && text[i] <= '7'; ++k, ++i) {
            value = value * 8 + static_cast<char32_t>(text[i] - '0');
          }
          emit(value);
        } else {
          // Unknown escapes stay as written.
          flush_high();
          out += '\\';
          out += e;
        }
    }
  }
  flush_high();
  return out;
}

}  // namespace vqflow
