#include "plugins/worker_protocol.h"

#include <fmt/format.h>

#include <charconv>

#include "base/errors.h"

namespace vqflow {

namespace {

std::string excerpt(std::string_view text) {
  constexpr std::size_t limit = 200;
  std::string cut(text.substr(0, limit));
  if (text.size() > limit) cut += "...";
  return json_text(Value(cut));
}

std::string_view skip_space(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\r' ||
                           text.front() == '\n'))
    text.remove_prefix(1);
  return text;
}

bool take(std::string_view& text, std::string_view token) {
  text = skip_space(text);
  if (text.substr(0, token.size()) != token) return false;
  text.remove_prefix(token.size());
  return true;
}

// The usual answer line, {"id": N, "result": R} with nothing else in it, split
// into N and the text of R without reading the envelope as a JSON document.
// Absent for any other shape: such lines take the general way.
struct PlainAnswer {
  std::uint64_t id;
  std::string_view result;
};

std::optional<PlainAnswer> plain_answer(std::string_view line) {
  if (!take(line, "{") || !take(line, "\"id\"") || !take(line, ":")) return std::nullopt;
  line = skip_space(line);
  std::uint64_t id = 0;
  std::size_t digits = 0;
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') {
    if (digits == 18) return std::nullopt;  // no overflow; long ids take the general way
    id = id * 10 + static_cast<std::uint64_t>(line[digits] - '0');
    ++digits;
  }
  // JSON has no leading zeros.
  if (digits == 0 || (digits > 1 && line[0] == '0')) return std::nullopt;
  line.remove_prefix(digits);
  if (!take(line, ",") || !take(line, "\"result\"") || !take(line, ":")) return std::nullopt;
  // R runs up to the object's closing brace, the last character but white space.
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
    line.remove_suffix(1);
  if (line.empty() || line.back() != '}') return std::nullopt;
  line.remove_suffix(1);
  return PlainAnswer{id, line};
}

AnswerLine fault(std::string reason) {
  AnswerLine read;
  read.kind = AnswerLine::Kind::fault;
  read.fault = std::move(reason);
  return read;
}

}  // namespace

std::string request_line(std::uint64_t id, std::string_view action_json, const Value& args,
                         const std::string& key) {
  const std::string arguments = json_text(args);
  const std::string key_json = key.empty() ? std::string() : json_text(Value(key));
  char digits[24];
  const auto id_end = std::to_chars(digits, digits + sizeof digits, id).ptr;
  std::string line;
  line.reserve(38 + static_cast<std::size_t>(id_end - digits) + action_json.size() +
               arguments.size() + key_json.size());
  line.append("{\"id\":").append(digits, id_end);
  line.append(",\"action\":").append(action_json);
  line.append(",\"args\":").append(arguments);
  if (!key_json.empty()) line.append(",\"key\":").append(key_json);
  line.append("}\n");
  return line;
}

AnswerLine read_answer_line(std::string_view line) {
  AnswerLine read;
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return read;
  read.kind = AnswerLine::Kind::answer;
  if (auto plain = plain_answer(line)) {
    // The envelope takes one level of the depth the whole line may have.
    read.result = try_parse_json(plain->result, k_max_json_depth - 1);
    read.id = plain->id;
    if (read.result) return read;
  }
  std::optional<Value> answer = try_parse_json(line);
  if (!answer || !answer->is_object())
    return fault("worker stopped: it wrote a line that is not a JSON object: " + excerpt(line));
  auto id_member = answer->find("id");
  if (id_member == answer->end() || !id_member->is_number_integer() ||
      id_member->get<long long>() < 0)
    return fault("worker stopped: it wrote an answer without a valid \"id\": " + excerpt(line));
  read.id = id_member->get<std::uint64_t>();
  read.envelope = std::move(*answer);
  return read;
}

Value interpret_worker_answer(Value answer, const std::string& context) {
  if (auto error = answer.find("error"); error != answer.end()) {
    std::string kind, message;
    if (error->is_object()) {
      if (auto k = error->find("kind"); k != error->end() && k->is_string())
        kind = k->get<std::string>();
      if (auto m = error->find("message"); m != error->end())
        message = m->is_string() ? m->get<std::string>() : json_text(*m);
    } else if (error->is_string()) {
      message = error->get<std::string>();
    } else {
      message = json_text(*error);
    }
    if (message.empty()) message = "the app reported an error";
    if (kind == "argument") throw AppArgumentError(context, message, "");
    throw AppCallError(context, message, "");
  }
  if (auto result = answer.find("result"); result != answer.end()) return std::move(*result);
  throw AppCallError(context, "the answer has neither \"result\" nor \"error\"", "");
}

std::string AnswerLineSplitter::too_long_message() const {
  return fmt::format("worker stopped: an answer line exceeds {} bytes", line_cap_);
}

}  // namespace vqflow
