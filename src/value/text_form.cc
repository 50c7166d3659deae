// Writers: text form, literal form and JSON text. The tree writer keeps its own
// stack so that deeply nested values cannot exhaust the call stack.
#include <charconv>
#include <cmath>
#include <vector>

#include "value/value.h"
#include "value/value_internal.h"

namespace vqflow {
namespace {

using value_detail::decode_utf8;

constexpr char k_hex[] = "0123456789abcdef";

void append_hex(std::string& out, unsigned long code, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += k_hex[(code >> shift) & 0xF];
}

// Non-printable in the sense of the text's literal form: control characters,
// format characters, separators other than the plain space, surrogates,
// private use, noncharacters and the unassigned planes. Other unassigned code
// points are treated as printable.
bool is_printable(char32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0xAD) return false;
  if (c < 0x300) return true;
  struct Range {
    char32_t first, last;
  };
  static constexpr Range k_unprintable[] = {
      {0x0600, 0x0605},    {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
      {0x0890, 0x0891},    {0x08E2, 0x08E2},   {0x1680, 0x1680},   {0x180E, 0x180E},
      {0x2000, 0x200F},    {0x2028, 0x202F},   {0x205F, 0x2064},   {0x2066, 0x206F},
      {0x3000, 0x3000},    {0xD800, 0xF8FF},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},
      {0xFFF9, 0xFFFB},    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
      {0x1BCA0, 0x1BCA3},  {0x1D173, 0x1D17A}, {0x2FA1E, 0x2FFFF}, {0x323B0, 0xE00FF},
      {0xE01F0, 0x10FFFF},
  };

  if ((c & 0xFFFE) == 0xFFFE) return false;  // U+xFFFE and U+xFFFF of every plane
  for (const Range& range : k_unprintable) {
    if (c < range.first) return true;
    if (c <= range.last) return false;
  }
  return true;
}

// The quote of a text or bytes literal: a single one unless only single ones
// stand inside.
char literal_quote(bool has_single, bool has_double) {
  return (has_single && !has_double) ? '"' : '\'';
}

// Appends the short escape of `c` in a literal quoted with `quote`: the quote
// itself, a backslash, a line feed, a carriage return or a tab. False (and
// nothing appended) for any other character.
bool append_short_escape(std::string& out, char32_t c, char quote) {
  if (c == static_cast<char32_t>(quote) || c == '\\') {
    out += '\\';
    out += static_cast<char>(c);
  } else if (c == '\n') {
    out += "\\n";
  } else if (c == '\r') {
    out += "\\r";
  } else if (c == '\t') {
    out += "\\t";
  } else {
    return false;
  }
  return true;
}

void append_quoted(std::string& out, std::string_view text) {
  const char quote = literal_quote(text.find('\'') != std::string_view::npos,
                                   text.find('"') != std::string_view::npos);
  out += quote;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto ch = decode_utf8(text, pos);
    const char32_t c = ch.code;
    if (!ch.valid) {
      // Bytes that are not UTF-8 show as byte escapes, one per byte.
      for (std::size_t i = 0; i < ch.length; ++i) {
        out += "\\x";
        append_hex(out, static_cast<unsigned char>(text[pos + i]), 2);
      }
    } else if (append_short_escape(out, c, quote)) {
      // done
    } else if (is_printable(c)) {
      out.append(text.substr(pos, ch.length));
    } else if (c < 0x100) {
      out += "\\x";
      append_hex(out, c, 2);
    } else if (c < 0x10000) {
      out += "\\u";
      append_hex(out, c, 4);
    } else {
      out += "\\U";
      append_hex(out, c, 8);
    }
    pos += ch.length;
  }
  out += quote;
}

bool needs_no_escape(unsigned char byte, bool ensure_ascii) {
  return byte >= 0x20 && byte < 0x7F ? byte != '"' && byte != '\\' : byte == 0x7F && !ensure_ascii;
}

void append_json_string(std::string& out, std::string_view text, bool ensure_ascii) {
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    // Plain characters go in one append.
    std::size_t plain = pos;
    while (plain < text.size() &&
           needs_no_escape(static_cast<unsigned char>(text[plain]), ensure_ascii)) {
      ++plain;
    }
    if (plain != pos) {
      out.append(text, pos, plain - pos);
      pos = plain;
      if (pos == text.size()) break;
    }
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      switch (byte) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default:
          if (byte < 0x20 || (byte == 0x7F && ensure_ascii)) {
            out += "\\u00";
            append_hex(out, byte, 2);
          } else {
            out += static_cast<char>(byte);
          }
      }
      ++pos;
      continue;
    }
    if (!ensure_ascii) {
      pos += value_detail::copy_character(out, text, pos);
      continue;
    }
    const auto ch = decode_utf8(text, pos);
    if (ch.code < 0x10000) {
      out += "\\u";
      append_hex(out, ch.code, 4);
    } else {
      const char32_t v = ch.code - 0x10000;
      out += "\\u";
      append_hex(out, 0xD800 + (v >> 10), 4);
      out += "\\u";
      append_hex(out, 0xDC00 + (v & 0x3FF), 4);
    }
    pos += ch.length;
  }
  out += '"';
}

void append_bytes_literal(std::string& out, const Value::binary_t& bytes) {
  bool has_single = false, has_double = false;
  for (const auto b : bytes) {
    has_single |= b == '\'';
    has_double |= b == '"';
  }
  const char quote = literal_quote(has_single, has_double);
  out += 'b';
  out += quote;
  for (const auto b : bytes) {
    if (append_short_escape(out, b, quote)) {
      // done
    } else if (b < 0x20 || b >= 0x7F) {
      out += "\\x";
      append_hex(out, b, 2);
    } else {
      out += static_cast<char>(b);
    }
  }
  out += quote;
}

enum class Style { text, json_ascii, json_unicode };

// Writes a value that is not a list or a map.
void append_scalar(std::string& out, const Value& value, Style style) {
  const bool json = style != Style::text;
  switch (value.type()) {
    case Value::value_t::string:
      if (json) {
        append_json_string(out, value.get_ref<const std::string&>(), style == Style::json_ascii);
      } else {
        append_quoted(out, value.get_ref<const std::string&>());
      }
      return;
    case Value::value_t::boolean:
      out += value.get<bool>() ? (json ? "true" : "True") : (json ? "false" : "False");
      return;
    case Value::value_t::number_integer:
      out += std::to_string(value.get<long long>());
      return;
    case Value::value_t::number_unsigned:
      out += std::to_string(value.get<unsigned long long>());
      return;
    case Value::value_t::number_float: {
      const double real = value.get<double>();
      if (json && std::isnan(real)) {
        out += "NaN";
      } else if (json && std::isinf(real)) {
        out += real > 0 ? "Infinity" : "-Infinity";
      } else {
        out += real_text(real);
      }
      return;
    }
    case Value::value_t::binary:
      if (json) {
        // Raw bytes have no JSON form of their own: a list of byte values.
        out += '[';
        bool first = true;
        for (const auto b : value.get_binary()) {
          if (!first) out += ", ";
          first = false;
          out += std::to_string(b);
        }
        out += ']';
      } else {
        append_bytes_literal(out, value.get_binary());
      }
      return;
    default:  // null, discarded
      out += json ? "null" : "None";
      return;
  }
}

// Writes lists and maps with an explicit stack; elements in the literal form
// (text style) or as JSON.
void append_tree(std::string& out, const Value& root, Style style) {
  if (!root.is_array() && !root.is_object()) {
    append_scalar(out, root, style);
    return;
  }
  struct Frame {
    const Value* container;
    std::size_t next;
  };
  std::vector<Frame> stack;
  auto open = [&](const Value& container) {
    out += container.is_object() ? '{' : '[';
    stack.push_back({&container, 0});
  };
  open(root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const Value& container = *frame.container;
    const std::size_t index = frame.next;
    if (index == container.size()) {
      out += container.is_object() ? '}' : ']';
      stack.pop_back();
      continue;
    }
    ++frame.next;
    if (index > 0) out += ", ";
    const Value* element;
    if (container.is_object()) {
      // ordered_map hides the vector's operator[]; index through an iterator.
      const auto& members = container.get_ref<const Value::object_t&>();
      const auto& member = *(members.begin() + static_cast<std::ptrdiff_t>(index));
      if (style == Style::text) {
        append_quoted(out, member.first);
      } else {
        append_json_string(out, member.first, style == Style::json_ascii);
      }
      out += ": ";
      element = &member.second;
    } else {
      element = &container.get_ref<const Value::array_t&>()[index];
    }
    if (element->is_array() || element->is_object()) {
      open(*element);  // invalidates `frame`
    } else {
      append_scalar(out, *element, style);
    }
  }
}

}  // namespace

std::string real_text(double real) {
  if (std::isnan(real)) return "nan";
  if (std::isinf(real)) return real > 0 ? "inf" : "-inf";
  // Shortest round-trip digits in scientific form: "d[.ddd]e±XX".
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, real, std::chars_format::scientific);
  const std::string_view written(buffer, static_cast<std::size_t>(result.ptr - buffer));
  std::string_view body = written;
  std::string out;
  if (!body.empty() && body[0] == '-') {
    out += '-';
    body.remove_prefix(1);
  }
  const std::size_t e_pos = body.find('e');
  std::string digits;
  for (const char c : body.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view exponent_text = body.substr(e_pos + 1);
  if (!exponent_text.empty() && exponent_text[0] == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
      return out;
    }
    const auto integer_digits = static_cast<std::size_t>(exponent) + 1;
    if (digits.size() <= integer_digits) {
      out += digits;
      out.append(integer_digits - digits.size(), '0');
      out += ".0";
    } else {
      out += digits.substr(0, integer_digits);
      out += '.';
      out += digits.substr(integer_digits);
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'e';
  out += exponent < 0 ? '-' : '+';
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
  return out;
}

std::string text_form(const Value& value) {
  if (value.is_string()) return value.get<std::string>();
  std::string out;
  append_tree(out, value, Style::text);
  return out;
}

std::string literal_form(const Value& value) {
  std::string out;
  append_tree(out, value, Style::text);
  return out;
}

std::string json_text(const Value& value, bool ensure_ascii) {
  std::string out;
  // Maps and lists rarely fit the inline buffer; one allocation instead of
  // several doublings.
  if (value.is_structured()) out.reserve(256);
  append_tree(out, value, ensure_ascii ? Style::json_ascii : Style::json_unicode);
  return out;
}

}  // namespace vqflow
