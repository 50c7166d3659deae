#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <string_view>
#include <vector>

#include "apps/reference_expansion.h"
#include "base/regex.h"
#include "records/run_records.h"
#include "stores/kv_store_rules.h"
#include "walker/condition_rules.h"
#include "walker/walker_support.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace {

constexpr std::string_view k_condition_error = "[条件错误] 当前剧本不具备可执行条件 ";

// The comparison kind and the expanded condition text of the IF node `left`.
// Every failure adds "[条件错误] ..." to `failures` (after the expansion
// message, when references did not expand) and propagates.
std::pair<std::string, std::string> read_condition(RunState& engine, const std::string& left,
                                                   std::vector<std::string>& failures) {
  try {
    std::optional<std::string> action = walker::read_run_value(engine, left, "action");
    if (!action) {
      throw WalkError(fmt::format("IF node {}: no comparison kind ({} is missing)", left,
                                  kv_rules::printable_key(engine.run_key(left, "action"))));
    }
    std::optional<std::string> text = walker::read_run_value(engine, left, "text");
    if (!text) {
      throw WalkError(fmt::format("IF node {}: no condition text ({} is missing)", left,
                                  kv_rules::printable_key(engine.run_key(left, "text"))));
    }
    Expansion expanded = apps::analysis_var(engine, *text);
    if (expanded.status != 0) {
      failures.push_back(expanded.text);
      throw WalkError(
          fmt::format("IF node {}: condition references did not expand: {}", left, expanded.text));
    }
    return {std::move(*action), std::move(expanded.text)};
  } catch (const std::exception& error) {
    failures.push_back(std::string(k_condition_error) + error.what());
    throw;
  }
}

// The outcome of the IF node `left` against the last app result. Texts of the
// failure records to write (in order) are added to `failures`; they are written
// before the error propagates.
std::optional<bool> evaluate_condition(RunState& engine, const std::string& left,
                                       const std::string& if_else_result,
                                       std::vector<std::string>& failures) {
  const auto [action, condition] = read_condition(engine, left, failures);
  walker::ConditionOutcome outcome;
  try {
    outcome = walker::compare_condition(action, condition, if_else_result);
  } catch (const RegexError& error) {
    if (action == "3") {
      spdlog::error("IF node {}: condition pattern failed: {}", left, error.what());
    }
    throw;
  }
  switch (outcome.answer) {
    case walker::ConditionAnswer::pass:
      return true;
    case walker::ConditionAnswer::fail:
      return false;
    case walker::ConditionAnswer::not_matched:
      return std::nullopt;
    case walker::ConditionAnswer::error:
      break;
  }
  if (!outcome.record.empty()) failures.push_back(outcome.record);
  throw WalkError(fmt::format("IF node {}: {}", left, outcome.error));
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
