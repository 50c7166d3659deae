#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <optional>

#include "apps/reference_expansion.h"
#include "context/node_settings.h"
#include "flow/route_cache.h"
#include "flow/vq_tree.h"
#include "records/run_records.h"
#include "walker/loop_rules.h"
#include "walker/walker_support.h"

namespace vqflow {

namespace {

// The collection of the FOR node `left`: its settings read and expanded, then
// read by loop kind. A failure carries the record to write before the walk ends.
walker::LoopCollection loop_collection(RunState& run, const std::string& left) {
  std::optional<std::string> action;
  std::optional<std::string> text;
  try {
    action = walker::read_run_value(run, left, "action");
    text = walker::read_run_value(run, left, "text");
  } catch (const std::exception& error) {
    spdlog::error("FOR node {}: settings cannot be read: {}", left, error.what());
    action.reset();
  }
  walker::LoopCollection out;
  if (!action || !text) {
    out.failure = walker::missing_loop_settings();
    return out;
  }
  Expansion expanded = apps::analysis_var(run, *text);
  if (expanded.status != 0) {
    out.failure = walker::loop_variable_error(expanded.text);
    return out;
  }
  out = walker::read_loop_collection(*action, expanded.text, run.services()->config.max_loop);
  if (out.failure && out.failure->rounds_over_bound) {
    spdlog::error("FOR node {}: {} rounds are more than the bound of {}; raise it with --max-loop",
                  left, *out.failure->rounds_over_bound, run.services()->config.max_loop);
  }
  return out;
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

  const LoopCollection collection = loop_collection(*run, left);
  if (collection.failure) {
    const LoopFailure& failure = *collection.failure;
    awaitable<void> stored = records::add_failure(*run, uuid, left, name, failure.record);
    co_await std::move(stored);
    throw WalkError(fmt::format("FOR node {}: {}", left, failure.error));
  }
  switch (collection.kind) {
    case LoopKind::list:
      for (const Value& element : collection.items) {
        walker::write_run_value(*run, left, "value", loop_value_text(element));
        co_await for_play_book(run, paths, uuid, true);
      }
      break;
    case LoopKind::map:
      for (const auto& [key, value] : collection.items.items()) {
        walker::write_run_value(*run, left, "key", key);
        walker::write_run_value(*run, left, "value", loop_value_text(value));
        co_await for_play_book(run, paths, uuid, true);
      }
      break;
    case LoopKind::count:
      for (long long i = 0; i < collection.count; ++i) {
        walker::write_run_value(*run, left, "value", std::to_string(i));
        co_await for_play_book(run, paths, uuid, true);
      }
      break;
    case LoopKind::none:
      break;
  }
}

}  // namespace vqflow
