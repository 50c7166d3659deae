// Checks of the variable references in node arguments and controller texts:
// references that are malformed, or that name nothing the run will have.
#include <fmt/format.h>

#include <array>

#include "apps/reference_expansion.h"
#include "base/errors.h"
#include "base/text.h"
#include "run/playbook_checks_internal.h"

namespace vqflow::checks {

namespace {

// Members of node data that are no arguments (never expanded).
constexpr std::array<std::string_view, 6> k_reserved_keys = {
    "node_name", "action", "app", "action_name", "description", "app_dir"};

bool is_reserved(const std::string& key) {
  for (std::string_view reserved : k_reserved_keys) {
    if (key == reserved) return true;
  }
  return false;
}

// Where a text comes from, for messages: node, member and a description.
struct TextPlace {
  std::string node;
  std::string member;
  std::string what;  // "argument \"ip\"", "the loop text"
};

// Byte ranges [begin, end) of `matches`, found left to right in `text`.
std::vector<std::pair<std::size_t, std::size_t>> ranges_of(
    const std::string& text, const std::vector<std::string>& matches) {
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  std::size_t from = 0;
  for (const std::string& match : matches) {
    const std::size_t at = text.find(match, from);
    if (at == std::string::npos) break;
    ranges.push_back({at, at + match.size()});
    from = at + match.size();
  }
  return ranges;
}

// Every `opener` ("@(", "@{", "@[") that begins none of the matches and lies
// inside none of them.
void check_openers(const std::string& text, const std::string& opener, char closer,
                   const std::vector<std::string>& matches, const std::string& rule,
                   const TextPlace& place, Findings& findings) {
  const auto ranges = ranges_of(text, matches);
  for (std::size_t at = text.find(opener); at != std::string::npos;
       at = text.find(opener, at + 1)) {
    bool covered = false;
    for (const auto& [begin, end] : ranges) covered = covered || (at >= begin && at < end);
    if (covered) continue;
    const std::size_t line_end = text.find('\n', at);
    const std::size_t close = text.find(closer, at);
    const bool closed = close != std::string::npos && close < line_end;
    if (!closed) {
      findings.warning(place.node, place.member,
                       fmt::format("{}: \"{}\" at byte {} is not closed by \"{}\" on its line, so "
                                   "it stays as written; close it",
                                   place.what, opener, at, closer));
    } else {
      findings.warning(place.node, place.member,
                       fmt::format("{}: \"{}\" is no reference, so it stays as written; {}",
                                   place.what, text.substr(at, close + 1 - at), rule));
    }
  }
}

void check_text(const std::string& text, const TextPlace& place, const PlaybookView& view,
                const CheckContext& context, Findings& findings) {
  std::vector<std::string> apps, globals, locals;
  try {
    apps = find_app_references(text);
    globals = find_global_references(text);
    locals = find_local_references(text);
  } catch (const std::exception&) {
    return;  // a hostile text: the run fails on it the same way
  }
  check_openers(text, "@(", ')', apps,
                "a node id in @(node-id.field) is five runs of letters, digits or \"_\" joined "
                "by \"-\" (like 5e1f0000-0000-4000-8000-000000000001)",
                place, findings);
  check_openers(text, "@{", '}', globals,
                "a global reference is @{name} with letters, digits and \"_\" only", place,
                findings);
  check_openers(text, "@[", ']', locals,
                "a local reference is @[name] with letters, digits and \"_\" only", place,
                findings);

  for (const std::string& reference : apps) {
    const std::vector<std::string> pieces =
        split(remove_all(remove_all(reference, "@("), ")"), ".");
    if (pieces.size() < 2) {
      findings.warning(place.node, place.member,
                       fmt::format("{}: {} names no field, so it never expands; write "
                                   "@(node-id.field)",
                                   place.what, reference));
    } else if (!view.nodes.count(pieces[0])) {
      findings.warning(place.node, place.member,
                       fmt::format("{}: {} names node {}, which this playbook does not draw, so "
                                   "it never expands; name a node of the playbook",
                                   place.what, reference, pieces[0]));
    }
  }
  // Names of @{...} and @[...] references that no variable defines.
  auto check_names = [&](const std::vector<std::string>& references,
                         const std::set<std::string>& defined, auto&& fix) {
    for (const std::string& reference : references) {
      const std::string name = reference.substr(2, reference.size() - 3);
      if (!defined.count(name)) {
        findings.warning(place.node, place.member,
                         fmt::format("{}: {} names no {}", place.what, reference, fix(name)));
      }
    }
  };
  check_names(globals, context.global_names, [&context](const std::string& name) {
    return fmt::format(
        "global variable of the files checked{}; add a variable with the key "
        "\"{}\" (status 0)",
        context.store_asked ? " or of the store" : "", name);
  });
  check_names(locals, view.local_names, [](const std::string& name) {
    return fmt::format(
        "local variable of this playbook; add {{\"key\": \"{}\", \"value\": "
        "...}} to local_var_data",
        name);
  });
}

}  // namespace

void check_references(const PlaybookView& view, const CheckContext& context, Findings& findings) {
  if (view.flow_data) {
    for (const auto& [node, entry] : view.flow_data->items()) {
      if (!view.nodes.count(node) || view.is_special(node) || !entry.is_object()) continue;
      auto data = entry.find("data");
      if (data == entry.end() || !data->is_object()) continue;
      for (const auto& [name, value] : data->items()) {
        if (is_reserved(name)) continue;
        check_text(text_form(value), {node, "flow_data", "argument \"" + name + "\""}, view,
                   context, findings);
      }
    }
  }
  if (view.controller_data) {
    for (const auto& [node, entry] : view.controller_data->items()) {
      const bool loop = view.in(view.for_list, node);
      if ((!loop && !view.in(view.if_list, node)) || !entry.is_object() ||
          !entry.contains("text")) {
        continue;
      }
      check_text(text_form(entry["text"]),
                 {node, "controller_data", loop ? "the loop text" : "the condition text"}, view,
                 context, findings);
    }
  }
}

}  // namespace vqflow::checks
