#include "run/auto_execute.h"

#include <boost/asio/post.hpp>
#include <chrono>

#include "base/errors.h"
#include "base/spawn_logged.h"
#include "run/auto.h"
#include "run/interrupt_rules.h"
#include "run/run_admission.h"

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

RunOutcome outcome_of(const Auto& engine, bool started) {
  RunOutcome out;
  out.only_id = engine.only_id;
  out.failed_steps = engine.failed_steps;
  if (!started) {
    out.state = "refused";
  } else if (engine.aborted) {
    out.state = engine.closing_state.empty() ? "aborted" : engine.closing_state;
    out.reason = *engine.aborted;
  } else if (engine.waiting_at) {
    out.state = "waiting";
    out.waiting_at = *engine.waiting_at;
  } else {
    out.state = engine.failed_steps > 0 ? "failed" : "done";
  }
  return out;
}

// Why a run did not start, as Auto::run answers it (false: disabled).
std::exception_ptr refusal(const std::string& uuid, std::optional<bool> result) {
  if (result == false) {
    return std::make_exception_ptr(PlaybookDisabledError("playbook " + uuid + " is disabled"));
  }
  return std::make_exception_ptr(PlaybookMissingError("no playbook with uuid " + uuid));
}

// Keeps the engine alive for as long as its run lasts; tells the client and
// the caller what the run came to.
awaitable<void> drive(std::shared_ptr<Auto> engine, std::string uuid, RunArguments args,
                      RunFinished on_finished) {
  const auto began = std::chrono::steady_clock::now();
  RunOutcome outcome;
  try {
    const std::optional<bool> result = co_await engine->run(uuid, std::move(args));
    outcome = outcome_of(*engine, engine->started);
    if (!engine->started) engine->tell_recorded(refusal(uuid, result));
  } catch (const std::exception& error) {
    outcome = outcome_of(*engine, true);
    outcome.state = "aborted";
    outcome.reason = error.what();
    outcome.error = std::current_exception();
    engine->tell_recorded(outcome.error);
    log_escaped("run of playbook " + uuid, outcome.error);
  }
  if (engine->started) {
    Metrics& metrics = *engine->services()->metrics;
    metrics.runs_in_flight.add(-1);
    metrics.run_closed(
        outcome.state,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  }
  if (engine->socket) {
    try {
      engine->socket->send(json_text(run_closed_message(outcome)));
    } catch (...) {
      // The client misses the last message; the records are stored.
    }
  }
  if (on_finished) on_finished(outcome);
}

void submit(std::shared_ptr<Auto> engine, std::string uuid, RunArguments args,
            RunFinished on_finished) {
  auto executor = engine->services()->executor;
  boost::asio::post(executor, [executor, engine, uuid = std::move(uuid), args = std::move(args),
                               on_finished = std::move(on_finished)]() mutable {
    spawn_logged(executor, drive(engine, uuid, std::move(args), std::move(on_finished)),
                 "run of playbook " + uuid);
  });
}

}  // namespace

Value run_closed_message(const RunOutcome& outcome) {
  Value data = Value::object();
  data["only_id"] = outcome.only_id;
  data["state"] = outcome.state;
  data["failed_steps"] = outcome.failed_steps;
  if (!outcome.waiting_at.empty()) data["waiting_at"] = outcome.waiting_at;
  if (!outcome.reason.empty()) data["reason"] = outcome.reason;
  Value message = Value::object();
  message["method"] = "run_closed";
  message["data"] = std::move(data);
  return message;
}

std::string auto_execute(std::shared_ptr<Services> services, std::string uuid,
                         std::shared_ptr<ClientConnection> s, RunRequest request,
                         RunFinished on_finished, RunRecorded on_recorded) {
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
  if (request.on_interrupt) {
    args.on_interrupt = checked_on_interrupt(*request.on_interrupt, "on_interrupt");
  }

  if (resumes) {
    AuditDecision decision{uuid,
                           *args.only_id,
                           *args.audit_app,
                           args.audit_status ? text_form(*args.audit_status) : "None",
                           args.user ? text_form(*args.user) : "None",
                           args.start_app};
    args.start_app = accept_decision(*services, decision);
    args.decision_accepted = true;
  }

  auto engine = std::make_shared<Auto>(services, std::move(s));
  engine->on_recorded = std::move(on_recorded);
  if (request.run_id && !resumes) engine->name_as(*request.run_id);
  std::string run_id = resumes ? *args.only_id : engine->only_id;
  submit(std::move(engine), std::move(uuid), std::move(args), std::move(on_finished));
  return run_id;
}

void walk_again(std::shared_ptr<Services> services, std::string uuid, std::string only_id,
                long long attempt, RunFinished on_finished) {
  RunArguments args;
  args.only_id = std::move(only_id);
  args.attempt = attempt;
  submit(std::make_shared<Auto>(std::move(services), nullptr), std::move(uuid), std::move(args),
         std::move(on_finished));
}

}  // namespace vqflow
