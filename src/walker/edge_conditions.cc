#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <string_view>
#include <vector>

#include "stores/kv_store_rules.h"
#include "base/regex.h"
#include "apps/reference_expansion.h"
#include "records/run_records.h"
#include "walker/walker_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace {

constexpr std::string_view k_condition_error = "[条件错误] 当前剧本不具备可执行条件 ";

// The fixed patterns of condition texts, compiled once. Their greedy ".*" walks
// back over a long expanded value one character at a time, so they get a match
// limit far above that of user patterns; it only stops hostile texts.
constexpr RegexLimits k_fixed_limits{20'000'000, 10'000, 64 * 1024};

const Regex& item_list_pattern() {
  static const Regex pattern(R"(\[\w*.+\])", k_fixed_limits);
  return pattern;
}
const Regex& member_differs_pattern() {
  static const Regex pattern(R"(\{\w.*\}!=\w.*)", k_fixed_limits);
  return pattern;
}
const Regex& member_equals_pattern() {
  static const Regex pattern(R"(\{\w.*\}==\w.*)", k_fixed_limits);
  return pattern;
}

std::vector<std::string> split(std::string_view text, std::string_view separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = text.find(separator, from);
    if (at == std::string_view::npos) {
      parts.emplace_back(text.substr(from));
      return parts;
    }
    parts.emplace_back(text.substr(from, at - from));
    from = at + separator.size();
  }
}

std::string without(std::string text, std::string_view characters) {
  std::erase_if(text, [&](char c) { return characters.find(c) != std::string_view::npos; });
  return text;
}

std::string without_marker(const std::string& step) {
  std::string out;
  std::size_t from = 0;
  while (true) {
    const std::size_t at = step.find("!!!", from);
    out.append(step, from, at == std::string::npos ? std::string::npos : at - from);
    if (at == std::string::npos) return out;
    from = at + 3;
  }
}

// Kinds "1" and "2": is the last result one of the listed items, are both sides
// of `op` equal, or is the whole text the last result?
bool equal_test(const std::string& condition, const std::string& last_result, std::string_view op) {
  const std::vector<std::string> lists = item_list_pattern().find_all(condition);
  if (!lists.empty()) {
    for (const std::string& item : split(without(lists.front(), "[]"), ",")) {
      if (item == last_result) return true;
    }
    return false;
  }
  const std::vector<std::string> sides = split(condition, op);
  if (sides.size() == 2) return sides[0] == sides[1];
  return condition == last_result;
}

// Byte range of the code point at index `n` of a UTF-8 text (negative counts
// from the end); absent when out of range. Invalid bytes count as one each.
std::optional<std::string> character_at(const std::string& text, long long n) {
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 || i == 0) starts.push_back(i);
  }
  const long long count = static_cast<long long>(starts.size());
  if (n < 0) n += count;
  if (n < 0 || n >= count) return std::nullopt;
  const std::size_t begin = starts[static_cast<std::size_t>(n)];
  const std::size_t end = n + 1 < count ? starts[static_cast<std::size_t>(n + 1)] : text.size();
  return text.substr(begin, end - begin);
}

}  // namespace

namespace {

// The outcome of the IF node `left` against the last app result. Texts of the
// failure records to write (in order) are added to `failures`; they are written
// before the error propagates.
std::optional<bool> evaluate_condition(RunState& engine, const std::string& left,
                                       const std::string& if_else_result,
                                       std::vector<std::string>& failures) {
  auto fail = [&](const std::string& text) -> WalkError {
    failures.push_back(text);
    return WalkError(fmt::format("IF node {}: {}", left, text));
  };

  std::string action;
  std::string condition;
  try {
    std::optional<std::string> stored_action = walker::read_run_value(engine, left, "action");
    if (!stored_action) {
      throw WalkError(fmt::format("IF node {}: no comparison kind ({} is missing)", left,
                                  kv_rules::printable_key(engine.run_key(left, "action"))));
    }
    std::optional<std::string> stored_text = walker::read_run_value(engine, left, "text");
    if (!stored_text) {
      throw WalkError(fmt::format("IF node {}: no condition text ({} is missing)", left,
                                  kv_rules::printable_key(engine.run_key(left, "text"))));
    }
    action = std::move(*stored_action);
    Expansion expanded = apps::analysis_var(engine, *stored_text);
    if (expanded.status != 0) {
      failures.push_back(expanded.text);
      throw WalkError(
          fmt::format("IF node {}: condition references did not expand: {}", left, expanded.text));
    }
    condition = std::move(expanded.text);
  } catch (const std::exception& error) {
    failures.push_back(std::string(k_condition_error) + error.what());
    throw;
  }

  if (action == "1") return equal_test(condition, if_else_result, "==");
  if (action == "2") return !equal_test(condition, if_else_result, "!=");

  if (action == "3") {
    try {
      return Regex(condition).search(if_else_result);
    } catch (const RegexError& error) {
      spdlog::error("IF node {}: condition pattern failed: {}", left, error.what());
      throw;
    }
  }

  if (action == "4") {
    const std::vector<std::string> differs = member_differs_pattern().find_all(condition);
    std::vector<std::string> parts;
    bool difference = false;
    if (differs.size() == 1) {
      difference = true;
      parts = split(differs.front(), "!=");
    } else {
      const std::vector<std::string> equals = member_equals_pattern().find_all(condition);
      if (equals.empty()) {
        throw WalkError(
            fmt::format("IF node {}: condition \"{}\" compares no JSON member ({{member}}==value)",
                        left, condition));
      }
      parts = split(equals.front(), "==");
    }
    const std::string member_path = without(parts[0], "{}");
    const std::string& expected = parts[1];

    if (!is_json(Value(if_else_result))) throw fail("[参数错误] 非 JSON 格式变量");
    Value value = parse_json(if_else_result);
    if (value.is_string()) {
      if (std::optional<Value> inner = try_parse_json(value.get_ref<const std::string&>())) {
        value = std::move(*inner);
      }
    }

    for (const std::string& step : split(member_path, "!>")) {
      const std::optional<long long> index = parse_integer(step);
      if (value.is_array()) {
        if (!index) throw fail("[解析错误] JSON 格式不存在 : " + member_path);
        long long n = *index;
        const long long size = static_cast<long long>(value.size());
        if (n < 0) n += size;
        if (n < 0 || n >= size) throw fail("[解析错误] 未找到 JSON Index : " + member_path);
        value = Value(std::move(value[static_cast<std::size_t>(n)]));
      } else if (value.is_object()) {
        auto member = index ? value.end() : value.find(without_marker(step));
        if (member == value.end()) throw fail("[解析错误] 未找到 JSON KEY : " + member_path);
        value = Value(std::move(*member));
      } else if (value.is_string()) {
        if (!index) throw fail("[解析错误] JSON 格式不存在 : " + member_path);
        std::optional<std::string> character =
            character_at(value.get_ref<const std::string&>(), *index);
        if (!character) throw fail("[解析错误] 未找到 JSON Index : " + member_path);
        value = std::move(*character);
      } else {
        throw fail("[解析错误] JSON 格式不存在 : " + member_path);
      }
    }
    const bool same = text_form(value) == expected;
    return difference ? !same : same;
  }
  return std::nullopt;
}

}  // namespace

awaitable<std::optional<bool>> walker::is_condition(RunState* run, std::string left,
                                                    std::string uuid, std::string if_else_result) {
  std::vector<std::string> failures;
  std::optional<bool> outcome;
  std::exception_ptr error;
  try {
    outcome = evaluate_condition(*run, left, if_else_result, failures);
  } catch (...) {
    error = std::current_exception();
  }
  for (const std::string& text : failures) {
    awaitable<void> stored = records::add_failure(*run, uuid, "", "", text);
    co_await std::move(stored);
  }
  if (error) std::rethrow_exception(error);
  co_return outcome;
}

}  // namespace vqflow
