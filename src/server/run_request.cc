#include "server/run_request.h"

#include <array>
#include <string_view>

#include "base/plain_id.h"
#include "run/interrupt_rules.h"

namespace vqflow {

namespace {

std::string id_field(const Value& value, const char* field, bool required) {
  if (!value.is_string()) {
    throw RequestError(std::string("\"") + field + "\" must be a text" +
                       (required ? " (the playbook id)" : ""));
  }
  const std::string& text = value.get_ref<const std::string&>();
  if (!is_plain_id(text)) {
    throw RequestError(std::string("\"") + field + "\" must be " + std::string(k_plain_id_rule));
  }
  return text;
}

}  // namespace

ParsedRunRequest parse_run_request(const Value& body) {
  if (!body.is_object()) throw RequestError("the request body must be a JSON object");
  static constexpr std::array<std::string_view, 10> known = {
      "uuid",      "controller_data", "data", "app_uuid",  "audit_status",
      "audit_app", "only_id",         "user", "start_app", "on_interrupt"};
  for (const auto& item : body.items()) {
    bool ok = false;
    for (auto k : known) ok = ok || item.key() == k;
    if (!ok) throw RequestError("\"" + item.key() + "\" is not a field of a run request");
  }
  ParsedRunRequest out;
  auto uuid = body.find("uuid");
  if (uuid == body.end() || uuid->is_null()) throw RequestError("\"uuid\" is required");
  out.uuid = id_field(*uuid, "uuid", true);

  auto member = [&](const char* name) -> const Value* {
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) return nullptr;
    return &*it;
  };
  RunRequest& r = out.request;
  if (const Value* v = member("controller_data")) {
    if (!v->is_object() && !v->is_string()) {
      throw RequestError("\"controller_data\" must be a JSON object or its text");
    }
    // Refuse a text that is not an object here, where the client can be told,
    // instead of starting a run that cannot read its node settings.
    if (v->is_string()) {
      std::optional<Value> parsed = try_parse_json(v->get_ref<const std::string&>());
      if (!parsed || !parsed->is_object()) {
        throw RequestError("\"controller_data\" is a text that does not hold a JSON object");
      }
    }
    r.controller_data = *v;
  }
  if (const Value* v = member("data")) r.data = *v;
  if (const Value* v = member("app_uuid")) r.app_uuid = id_field(*v, "app_uuid", false);
  if (const Value* v = member("audit_status")) {
    if (!v->is_string() && !v->is_number_integer()) {
      throw RequestError("\"audit_status\" must be \"1\" (approved), \"2\" (rejected) or a number");
    }
    r.audit_status = *v;
  }
  if (const Value* v = member("audit_app")) {
    // An empty audit_app counts as absent: the run starts from the beginning.
    if (v->is_string() && v->get_ref<const std::string&>().empty()) {
      r.audit_app = std::string();
    } else {
      r.audit_app = id_field(*v, "audit_app", false);
    }
  }
  if (const Value* v = member("only_id")) r.only_id = id_field(*v, "only_id", false);
  if (const Value* v = member("user")) {
    if (!v->is_string() && !v->is_number_integer()) {
      throw RequestError("\"user\" must be a text (the user's name)");
    }
    if (v->is_string() && v->get_ref<const std::string&>().size() > 256) {
      throw RequestError("\"user\" must be at most 256 bytes");
    }
    r.user = *v;
  }
  if (const Value* v = member("start_app")) r.start_app = id_field(*v, "start_app", false);
  if (const Value* v = member("on_interrupt")) {
    if (!v->is_string()) throw RequestError("\"on_interrupt\" must be \"fail\" or \"resume\"");
    try {
      r.on_interrupt = checked_on_interrupt(v->get<std::string>(), "\"on_interrupt\"");
    } catch (const ConfigError& e) {
      throw RequestError(e.what());
    }
  }
  // A decision without the waiting run's id would resume a run that does not
  // exist and write its records under an id of "None".
  if (r.audit_app && !r.audit_app->empty()) {
    if (!r.only_id) {
      throw RequestError("\"only_id\" is required with \"audit_app\" (the waiting run)");
    }
  }
  return out;
}

}  // namespace vqflow
