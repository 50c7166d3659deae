#include "run/auto_execute.h"

#include <boost/asio/post.hpp>

#include "base/errors.h"
#include "base/spawn_logged.h"
#include "run/auto.h"

namespace vqflow {

namespace {

// Node settings given as a JSON object text (or already as a map).
Value settings_map(const Value& controller_data) {
  Value settings;
  if (controller_data.is_string()) {
    try {
      settings = parse_json(controller_data.get<std::string>());
    } catch (const JsonError& e) {
      throw ConfigError(std::string("controller_data is not valid JSON: ") + e.what());
    }
  } else {
    settings = controller_data;
  }
  if (!settings.is_object()) {
    throw ConfigError("controller_data must be a JSON object keyed by node id");
  }
  return settings;
}

// Keeps the engine alive for as long as its run lasts.
awaitable<void> drive(std::shared_ptr<Auto> engine, std::string uuid, RunArguments args) {
  co_await engine->run(std::move(uuid), std::move(args));
}

}  // namespace

std::string auto_execute(std::shared_ptr<Services> services, std::string uuid,
                         std::shared_ptr<ClientConnection> s, RunRequest request,
                         RunFinished on_finished) {
  RunArguments args;
  if (request.controller_data && request.data && request.app_uuid) {
    Value settings = settings_map(*request.controller_data);
    Value entry = Value::object();
    entry["text"] = is_json(*request.data) ? json_text(*request.data) : text_form(*request.data);
    settings[*request.app_uuid] = std::move(entry);
    args.controller_data = std::move(settings);
  } else if (request.controller_data) {
    // A lone settings text is parsed once here rather than stored encoded twice.
    args.controller_data = settings_map(*request.controller_data);
  }
  const bool resumes = request.audit_app && !request.audit_app->empty();
  if (resumes && (!request.only_id || request.only_id->empty())) {
    throw ConfigError("an audit decision needs the only_id of the waiting run");
  }
  args.audit_status = std::move(request.audit_status);
  args.audit_app = std::move(request.audit_app);
  args.only_id = std::move(request.only_id);
  args.user = std::move(request.user);
  args.start_app = std::move(request.start_app);

  auto engine = std::make_shared<Auto>(services, std::move(s));
  std::string run_id = resumes ? *args.only_id : engine->only_id;

  auto executor = services->executor;
  boost::asio::post(executor, [executor, engine, uuid = std::move(uuid), args = std::move(args),
                               on_finished = std::move(on_finished)]() mutable {
    spawn_logged(executor, drive(engine, uuid, std::move(args)), "run of playbook " + uuid,
                 std::move(on_finished));
  });
  return run_id;
}

}  // namespace vqflow
