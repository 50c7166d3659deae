#include "base/utf8.h"

#include <algorithm>
#include <vector>

namespace vqflow {
namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

Utf8Char decode_utf8(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t need = 0;
  char32_t code = 0;
  // Bounds of the second byte narrow overlong forms, surrogates and > U+10FFFF.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    code = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    code = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {k_replacement_char, 1, false};
  }
  std::size_t length = 1;
  for (std::size_t i = 0; i < need; ++i) {
    if (pos + length >= text.size()) return {k_replacement_char, length, false};
    const auto byte = static_cast<unsigned char>(text[pos + length]);
    if (i == 0 ? (byte < low || byte > high) : !is_continuation(byte)) {
      return {k_replacement_char, length, false};
    }
    code = (code << 6) | (byte & 0x3F);
    ++length;
  }
  return {code, length, true};
}

void append_utf8(std::string& out, char32_t code) {
  if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) code = k_replacement_char;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

void append_valid_utf8(std::string& out, std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    // Copy ASCII runs and valid characters byte for byte.
    const Utf8Char ch = decode_utf8(bytes, pos);
    if (ch.valid) {
      out.append(bytes.substr(pos, ch.length));
    } else {
      append_utf8(out, k_replacement_char);
    }
    pos += ch.length;
  }
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const Utf8Char ch = decode_utf8(text, pos);
    if (!ch.valid) return false;
    pos += ch.length;
  }
  return true;
}

std::optional<std::string> code_point_at(std::string_view text, long long n) {
  // Character starts; an ill-formed subpart counts as one character.
  std::vector<std::size_t> starts;
  for (std::size_t pos = 0; pos < text.size(); pos += decode_utf8(text, pos).length) {
    starts.push_back(pos);
  }
  const auto count = static_cast<long long>(starts.size());
  if (n < 0) n += count;
  if (n < 0 || n >= count) return std::nullopt;
  const std::size_t begin = starts[static_cast<std::size_t>(n)];
  const std::size_t end = n + 1 < count ? starts[static_cast<std::size_t>(n + 1)] : text.size();
  return std::string(text.substr(begin, end - begin));
}

TextPosition position_in_text(std::string_view text, std::size_t offset) {
  TextPosition at;
  at.offset = offset;
  offset = std::min(offset, text.size());
  std::size_t pos = 0;
  for (std::size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++at.line;
      pos = i + 1;
    }
  }
  for (; pos < offset; ++at.column) pos += decode_utf8(text, pos).length;
  return at;
}

}  // namespace vqflow
