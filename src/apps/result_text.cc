#include "apps/result_text.h"

#include "stores/stored_values.h"

namespace vqflow {

std::string result_text(const Value& result, bool ensure_ascii) {
  return is_json(result) ? json_text(result, ensure_ascii) : text_form(result);
}

namespace apps {

namespace {

// The member `name` of an invocation result; null when it has none.
const Value& member(const Value& outcome, const char* name) {
  static const Value k_absent;
  auto it = outcome.find(name);
  return it == outcome.end() ? k_absent : *it;
}

}  // namespace

CapturedResult capture_delivered_result(const Value& outcome) {
  std::string text = result_text(member(outcome, "result"), false);
  Value html(text);
  return {std::move(text), member(outcome, "status"), std::move(html)};
}

CapturedResult capture_app_result(const Value& outcome) {
  std::string text = result_text(member(outcome, "result"), true);
  const Value& html = member(outcome, "html");
  const bool no_html =
      html.is_string() ? html.get_ref<const std::string&>().empty() : text_form(html).empty();
  Value logged_html = no_html ? Value(text) : html;
  return {std::move(text), member(outcome, "status"), std::move(logged_html)};
}

void drop_plugin_marker(std::optional<Value>& app_info) {
  if (!app_info || !app_info->is_object()) return;
  auto data = app_info->find("data");
  if (data == app_info->end() || !data->is_object()) return;
  auto marker = data->find("app");
  if (marker != data->end() && is_truthy(*marker)) data->erase(marker);
}

}  // namespace apps
}  // namespace vqflow
