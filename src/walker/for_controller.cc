#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <optional>
#include <string_view>

#include "flow/route_cache.h"
#include "flow/vq_tree.h"
#include "apps/reference_expansion.h"
#include "records/run_records.h"
#include "value/literal.h"
#include "context/node_settings.h"
#include "walker/walker_support.h"

namespace vqflow {

namespace {

constexpr std::string_view k_no_settings = "请配置 FOR 控制器";
constexpr std::string_view k_not_a_list = "请输入数组进行循环";
constexpr std::string_view k_not_a_map = "请输入字典进行循环";
constexpr std::string_view k_not_a_count = "请输入数字次数进行循环";

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

// What "&&value" holds for an element: maps and lists as JSON text, the rest in
// text form (True, False and None included).
std::string element_text(const Value& element) {
  if (element.is_object() || element.is_array()) return json_text(element);
  return text_form(element);
}

}  // namespace

awaitable<void> walker::for_controller(RunState* run, std::string left, std::string right,
                                       std::string uuid) {
  const VqTree tree(run->services()->config.max_paths);
  const std::vector<std::string> paths =
      run->node_link_data
          ? routes_of(run->services()->routes.get(), run->node_link_data, right, run->end_app, tree)
          : tree.get_paths(Value(), right, run->end_app);
  const Value name = node_name(run->controller_data, left);

  // Notes the failure record (written before the error leaves this node) and
  // answers the error that ends the walk.
  std::optional<std::string> failure_record;
  auto fail = [&](const std::string& record, std::string_view error) {
    failure_record = record;
    return WalkError(fmt::format("FOR node {}: {}", left, error));
  };
  // Lists and maps come from app results, which the playbook does not control:
  // every kind of loop has the same bound on its rounds.
  auto check_rounds = [&](long long rounds, std::string_view what) {
    const long long max_loop = run->services()->config.max_loop;
    if (rounds <= max_loop) return;
    spdlog::error("FOR node {}: {} rounds are more than the bound of {}; raise it with --max-loop",
                  left, rounds, max_loop);
    throw fail(fmt::format("[配置错误] {}", what),
               fmt::format("{} ({} rounds, more than --max-loop {})", what, rounds, max_loop));
  };
  std::exception_ptr failure;
  try {
    std::optional<std::string> action;
    std::optional<std::string> text;
    try {
      action = walker::read_run_value(*run, left, "action");
      text = walker::read_run_value(*run, left, "text");
    } catch (const std::exception& error) {
      spdlog::error("FOR node {}: settings cannot be read: {}", left, error.what());
      action.reset();
    }
    if (!action || !text) throw fail(fmt::format("[配置错误] {}", k_no_settings), k_no_settings);

    Expansion expanded = apps::analysis_var(*run, *text);
    if (expanded.status != 0) {
      const std::string record = "[变量错误] " + expanded.text;
      throw fail(record, record);
    }
    const std::string& collection = expanded.text;

    if (*action == "1") {
      std::optional<Value> list = read_collection(collection, true);
      if (!list) throw fail(fmt::format("[配置错误] {}", k_not_a_list), k_not_a_list);
      check_rounds(list->size(), k_not_a_list);
      for (const Value& element : *list) {
        walker::write_run_value(*run, left, "value", element_text(element));
        co_await for_play_book(run, paths, uuid, true);
      }
    } else if (*action == "2") {
      std::optional<Value> map = read_collection(collection, false);
      if (!map) throw fail(fmt::format("[配置错误] {}", k_not_a_map), k_not_a_map);
      check_rounds(map->size(), k_not_a_map);
      for (const auto& [key, value] : map->items()) {
        walker::write_run_value(*run, left, "key", key);
        walker::write_run_value(*run, left, "value", element_text(value));
        co_await for_play_book(run, paths, uuid, true);
      }
    } else if (*action == "3") {
      const std::optional<long long> count = parse_integer(collection);
      if (!count) throw fail(fmt::format("[配置错误] {}", k_not_a_count), k_not_a_count);
      check_rounds(*count, k_not_a_count);
      for (long long i = 0; i < *count; ++i) {
        walker::write_run_value(*run, left, "value", std::to_string(i));
        co_await for_play_book(run, paths, uuid, true);
      }
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    if (failure_record) {
      awaitable<void> stored = records::add_failure(*run, uuid, left, name, *failure_record);
      co_await std::move(stored);
    }
    std::rethrow_exception(failure);
  }
}

}  // namespace vqflow
