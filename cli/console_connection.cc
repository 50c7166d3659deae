#include "console_connection.h"

#include "base/utf8.h"
#include "value/value.h"

namespace vqflow::cli {

namespace {

bool is_wide(char32_t cp) {
  return (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) ||
         (cp >= 0xAC00 && cp <= 0xD7A3) || (cp >= 0xF900 && cp <= 0xFAFF) ||
         (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
         (cp >= 0xFFE0 && cp <= 0xFFE6) || (cp >= 0x1F300 && cp <= 0x1FAFF) ||
         (cp >= 0x20000 && cp <= 0x3FFFD);
}

// "run X closed", "run X closed, 2 failed steps", "run X aborted: why",
// "waiting for approval at N, only_id X".
std::string closing_line(const Value& data) {
  const std::string only_id = one_line(text_form(data.value("only_id", Value())));
  const std::string state = text_form(data.value("state", Value()));
  const long long failed = data.value("failed_steps", Value(0)).get<long long>();
  if (state == "waiting") {
    return "waiting for approval at " + one_line(text_form(data.value("waiting_at", Value()))) +
           ", only_id " + only_id;
  }
  if (state == "aborted") {
    return "run " + only_id + " aborted: " + one_line(text_form(data.value("reason", Value())));
  }
  if (state == "refused") return "run " + only_id + " refused";
  if (state == "cancelled" || state == "interrupted") {
    // The reason reads "run cancelled by U" or "run interrupted: OWNER stopped".
    std::string reason = one_line(text_form(data.value("reason", Value())));
    if (reason.rfind("run ", 0) == 0) return "run " + only_id + " " + reason.substr(4);
    return "run " + only_id + " " + state + (reason.empty() ? "" : ": " + reason);
  }
  if (failed == 0) return "run " + only_id + " closed";
  return "run " + only_id + " closed, " + std::to_string(failed) +
         (failed == 1 ? " failed step" : " failed steps");
}

}  // namespace

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

std::string pad(const std::string& text, std::size_t width) {
  std::size_t w = display_width(text);
  return w >= width ? text : text + std::string(width - w, ' ');
}

std::size_t display_width(const std::string& text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Char ch = decode_utf8(text, i);
    width += is_wide(ch.code) ? 2 : 1;
    i += ch.length;
  }
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
  if (message->value("method", Value()) == "run_closed") {
    out_ << closing_line(record) << "\n" << std::flush;
    return;
  }
  const Value status = record.value("status", Value());
  const bool failed = !(status.is_number_integer() && status.get<long long>() == 0);
  std::string node = text_form(record.value("app_name", Value()));
  if (node.empty()) node = text_form(record.value("app_uuid", Value()));
  out_ << text_form(record.value("create_time", Value())) << "  " << pad(one_line(node), 18) << "  "
       << (failed ? "FAIL " + pad(text_form(status), 2) : std::string("ok     ")) << "  "
       << one_line(text_form(record.value("result", Value()))) << "\n"
       << std::flush;
}

}  // namespace vqflow::cli
