#include "records/escape_decoding.h"

#include <fmt/format.h>

#include "base/errors.h"
#include "base/hex.h"
#include "base/regex.h"
#include "base/utf8.h"

namespace vqflow {

namespace {

// "\\u\w\w*" compiled once and shared by every thread. The pattern runs in
// linear time, so it keeps the library's own limits.
const Regex& unicode_escape_pattern() {
  static const Regex pattern(R"(\\u\w\w*)", RegexLimits::library_defaults());
  return pattern;
}

char32_t read_hex(std::string_view text, std::size_t pos, std::size_t digits, char escape) {
  std::optional<std::uint32_t> value;
  if (pos + digits <= text.size()) value = parse_hex(text.substr(pos, digits));
  if (!value) {
    throw ValueError(fmt::format("truncated \\{} escape at position {}", escape, pos - 2));
  }
  return *value;
}

}  // namespace

bool has_unicode_escape(std::string_view text) {
  if (text.find("\\u") == std::string_view::npos) return false;  // the usual case, found cheaply
  try {
    return unicode_escape_pattern().search(text);
  } catch (const RegexError&) {
    return false;  // a failed match finds nothing
  }
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
      case '\\':
        flush_high();
        out += '\\';
        break;
      case '\'':
        flush_high();
        out += '\'';
        break;
      case '"':
        flush_high();
        out += '"';
        break;
      case 'n':
        flush_high();
        out += '\n';
        break;
      case 't':
        flush_high();
        out += '\t';
        break;
      case 'r':
        flush_high();
        out += '\r';
        break;
      case 'a':
        flush_high();
        out += '\a';
        break;
      case 'b':
        flush_high();
        out += '\b';
        break;
      case 'f':
        flush_high();
        out += '\f';
        break;
      case 'v':
        flush_high();
        out += '\v';
        break;
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
