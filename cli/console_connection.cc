#include "console_connection.h"

#include "value/value.h"

namespace vqflow::cli {

namespace {

char32_t next_code_point(const std::string& s, std::size_t& i) {
  unsigned char c = static_cast<unsigned char>(s[i]);
  int extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
  char32_t cp = extra == 0 ? c : c & (0x3F >> extra);
  ++i;
  for (int k = 0; k < extra && i < s.size(); ++k, ++i) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[i]) & 0x3F);
  }
  return cp;
}

bool is_wide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
         (cp >= 0x20000 && cp <= 0x3FFFD);
}

std::string pad(const std::string& text, std::size_t width) {
  std::size_t w = display_width(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}

// One line per record: control characters of hostile results must not move
// the cursor or forge further lines.
std::string one_line(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::size_t display_width(const std::string& text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) width += is_wide(next_code_point(text, i)) ? 2 : 1;
  return width;
}

void ConsoleConnection::send(const std::string& text) {
  if (json_) {
    out_ << text << "\n" << std::flush;
    return;
  }
  auto message = try_parse_json(text);
  if (!message || !message->is_object() || !message->contains("data")) {
    out_ << one_line(text) << "\n" << std::flush;
    return;
  }
  const Value& record = (*message)["data"];
  const Value status = record.value("status", Value());
  const bool failed = !(status.is_number_integer() && status.get<long long>() == 0);
  if (failed) ++failed_steps_;
  std::string node = text_form(record.value("app_name", Value()));
  if (node.empty()) node = text_form(record.value("app_uuid", Value()));
  out_ << text_form(record.value("create_time", Value())) << "  " << pad(one_line(node), 18)
       << "  " << (failed ? "FAIL " + pad(text_form(status), 2) : std::string("ok     ")) << "  "
       << one_line(text_form(record.value("result", Value()))) << "\n"
       << std::flush;
}

}  // namespace vqflow::cli
