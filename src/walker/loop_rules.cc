#include "walker/loop_rules.h"

#include <fmt/format.h>

#include "value/literal.h"

namespace vqflow::walker {

namespace {

constexpr std::string_view k_no_settings = "请配置 FOR 控制器";
constexpr std::string_view k_not_a_list = "请输入数组进行循环";
constexpr std::string_view k_not_a_map = "请输入字典进行循环";
constexpr std::string_view k_not_a_count = "请输入数字次数进行循环";

LoopFailure configuration_error(std::string_view what) {
  return {fmt::format("[配置错误] {}", what), std::string(what), std::nullopt};
}

// The collection in the literal notation; a quoted collection is read once more.
// Absent when the text is not a collection of the wanted kind.
std::optional<Value> read_collection(const std::string& text, bool want_list) {
  auto fits = [want_list](const Value& value) {
    return want_list ? value.is_array() : value.is_object();
  };
  try {
    Value value = parse_literal(text);
    if (!fits(value)) {
      if (!value.is_string()) return std::nullopt;
      value = parse_literal(value.get_ref<const std::string&>());
    }
    if (!fits(value)) return std::nullopt;
    return value;
  } catch (const LiteralError&) {
    return std::nullopt;
  }
}

// Lists and maps come from app results, which the playbook does not control:
// every kind of loop has the same bound on its rounds.
std::optional<LoopFailure> over_bound(long long rounds, long long max_loop, std::string_view what) {
  if (rounds <= max_loop) return std::nullopt;
  return LoopFailure{fmt::format("[配置错误] {}", what),
                     fmt::format("{} ({} rounds, more than --max-loop {})", what, rounds, max_loop),
                     rounds};
}

}  // namespace

LoopCollection read_loop_collection(std::string_view action, const std::string& collection,
                                    long long max_loop) {
  LoopCollection out;
  if (action == "1" || action == "2") {
    const bool list = action == "1";
    const std::string_view what = list ? k_not_a_list : k_not_a_map;
    out.kind = list ? LoopKind::list : LoopKind::map;
    std::optional<Value> items = read_collection(collection, list);
    if (!items) {
      out.failure = configuration_error(what);
      return out;
    }
    out.failure = over_bound(static_cast<long long>(items->size()), max_loop, what);
    if (!out.failure) out.items = std::move(*items);
  } else if (action == "3") {
    out.kind = LoopKind::count;
    const std::optional<long long> count = parse_integer(collection);
    if (!count) {
      out.failure = configuration_error(k_not_a_count);
      return out;
    }
    out.failure = over_bound(*count, max_loop, k_not_a_count);
    if (!out.failure) out.count = *count;
  }
  return out;
}

LoopFailure missing_loop_settings() { return configuration_error(k_no_settings); }

LoopFailure loop_variable_error(const std::string& message) {
  const std::string record = "[变量错误] " + message;
  return {record, record, std::nullopt};
}

std::string loop_value_text(const Value& element) {
  if (element.is_object() || element.is_array()) return json_text(element);
  return text_form(element);
}

}  // namespace vqflow::walker
