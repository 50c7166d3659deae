#include "run/auto.h"

#include <spdlog/spdlog.h>

#include "base/error_text.h"
#include "base/errors.h"
#include "base/text.h"
#include "base/utilities.h"
#include "context/node_settings.h"
#include "flow/node_tables.h"
#include "flow/route_cache.h"
#include "flow/vq_tree.h"
#include "records/checkpoints.h"
#include "records/run_records.h"
#include "run/interrupt_rules.h"
#include "run/run_admission.h"
#include "run/run_recovery.h"
#include "run/run_states.h"
#include "stores/database.h"

namespace vqflow {

namespace {

const std::vector<std::string> k_workflow_fields = {
    "uuid",       "name",        "remarks",   "start_app",       "end_app",
    "input_app",  "webhook_app", "timer_app", "for_list",        "if_list",
    "audit_list", "flow_json",   "flow_data", "controller_data", "local_var_data",
    "status",     "on_interrupt"};

std::optional<std::string> optional_text(const Value& value) {
  if (value.is_null()) return std::nullopt;
  return text_form(value);
}

// The stored value in text form, split at every "," (an empty text gives one
// empty entry, an absent value the entry "None").
std::vector<std::string> split_list(const Value& value) { return split(text_form(value), ","); }

void check_stored_json(const Value& stored, const char* field) {
  if (!stored.is_string()) {
    throw FlowError(std::string("playbook field \"") + field + "\" is " +
                    (stored.is_null() ? "missing" : "not a JSON text"));
  }
}

FlowError invalid_json(const char* field, const JsonError& e) {
  return FlowError(std::string("playbook field \"") + field + "\" is not valid JSON: " + e.what());
}

Value parse_stored_json(const Value& stored, const char* field) {
  check_stored_json(stored, field);
  try {
    return parse_json(stored.get_ref<const std::string&>());
  } catch (const JsonError& e) {
    throw invalid_json(field, e);
  }
}

// The same through the cache of parsed documents, when there is one.
std::shared_ptr<const Value> shared_stored_json(ParsedJsonCache* documents, const Value& stored,
                                                const char* field) {
  if (!documents) return std::make_shared<const Value>(parse_stored_json(stored, field));
  check_stored_json(stored, field);
  try {
    return documents->parse(stored.get_ref<const std::string&>());
  } catch (const JsonError& e) {
    throw invalid_json(field, e);
  }
}

}  // namespace

awaitable<std::optional<bool>> Auto::run(std::string uuid, RunArguments args) {
  const bool resumes = args.audit_app && !args.audit_app->empty();
  if (resumes && !args.decision_accepted) {
    // Only a run that waits at the audit node may be resumed, once.
    try {
      AuditDecision decision{uuid,
                             args.only_id.value_or(""),
                             *args.audit_app,
                             args.audit_status ? text_form(*args.audit_status) : "None",
                             args.user ? text_form(*args.user) : "None",
                             args.start_app};
      args.start_app = accept_decision(*services(), decision);
      args.decision_accepted = true;
    } catch (const DecisionError&) {
      co_return std::nullopt;  // refused and logged; nothing runs
    } catch (const PlaybookMissingError&) {
      co_return std::nullopt;
    } catch (const PlaybookDisabledError&) {
      co_return false;
    }
  }

  // A run walked again after an interruption keeps the counters its first
  // walk raised: they go down once, when it closes.
  const bool rewalk = args.attempt.has_value();
  // Nothing is raised or stored for a run that is refused here.
  awaitable<std::vector<Row>> found = loop_select(
      *services(), services()->db->table("workflow").select(k_workflow_fields).where("uuid", uuid),
      1);
  std::vector<Row> records = co_await std::move(found);
  if (records.empty()) co_return std::nullopt;
  const Row& row = records.front();
  if (row["status"].is_number_integer() && row["status"].get<long long>() == 1) co_return false;

  started = true;
  services()->metrics->runs_started.add();
  services()->metrics->runs_in_flight.add(1);
  int run_status = 0;
  const bool decided = args.audit_app && !args.audit_app->empty();
  if (decided) only_id = args.only_id.value_or("None");
  if (rewalk) {
    resume_as(args.only_id.value_or("None"));
    attempt = *args.attempt;
  }
  // A decided run goes on from its decision, which a new walk would ask for
  // again: it is never walked again, so it keeps no checkpoints.
  resumable =
      rewalk || (!decided && run_on_interrupt(args.on_interrupt, row["on_interrupt"]) == "resume");
  services()->active->add(only_id, stop);
  try {
    {
      const std::string now = Time::get_date_time(*services()->clock);
      Row state = running_row(*this, uuid, text_form(row["start_app"]),
                              args.user ? text_form(*args.user) : "", now);
      if (decided || rewalk) {
        // The run goes on: it keeps when and by whom it was started.
        for (const char* kept : {"start_app", "user", "started"}) state.erase(kept);
      } else {
        state["on_interrupt"] = resumable ? "resume" : "fail";
      }
      awaitable<void> stored = store_run_state(*this, std::move(state));
      co_await std::move(stored);
    }
    tell_recorded(nullptr);
    if (rewalk) {
      records::StoredCheckpoints stored = records::load_checkpoints(*services()->db, only_id);
      if (stored.settings) args.controller_data = std::move(*stored.settings);
      replay = std::move(stored.calls);
    } else if (resumable) {
      awaitable<void> stored =
          records::store_start_settings(*this, args.controller_data.value_or(Value()));
      co_await std::move(stored);
    }
    // The counters rise only once the run's row is stored: a process killed
    // in between leaves a row that the repair closes (lowering counters that
    // never rose is clamped at 0), never counters raised for ever.
    if (rewalk) {
      counted = true;
    } else {
      awaitable<void> raised = raise_sums(uuid);
      co_await std::move(raised);
    }
    workflow_name = row["name"];
    workflow_remarks = row["remarks"];
    start_app = optional_text(row["start_app"]);
    end_app = optional_text(row["end_app"]);
    input_app = optional_text(row["input_app"]);
    webhook_app = optional_text(row["webhook_app"]);
    timer_app = optional_text(row["timer_app"]);
    for_list = split_list(row["for_list"]);
    if_list = split_list(row["if_list"]);
    audit_list = split_list(row["audit_list"]);
    flow_json = shared_stored_json(services()->documents.get(), row["flow_json"], "flow_json");
    flow_data = shared_stored_json(services()->documents.get(), row["flow_data"], "flow_data");
    local_var_data = row["local_var_data"];
    controller_data = row["controller_data"];

    if (args.controller_data) controller_data = json_text(*args.controller_data);

    if (!flow_json->is_object() || !flow_json->contains("cells")) {
      throw FlowError("flow_json has no \"cells\"");
    }
    RouteCache* routes = services()->routes.get();
    node_link_data = routes ? routes->links(flow_json)
                            : std::make_shared<const Value>(make_node_link((*flow_json)["cells"]));

    VqTree tree(services()->config.max_paths);
    if (decided) {
      const std::string decision = args.audit_status ? text_form(*args.audit_status) : "None";
      const std::string user = args.user ? text_form(*args.user) : "None";
      if (decision == "2") {
        const std::string text = "【" + user + "】拒绝了该剧本执行";
        awaitable<void> stored = add_execute_logs(
            uuid, *args.audit_app, node_name(controller_data, *args.audit_app), text, 0, text);
        co_await std::move(stored);
      } else if (decision == "1") {
        const std::string text = "【" + user + "】通过了该剧本执行";
        awaitable<void> stored = add_execute_logs(
            uuid, *args.audit_app, node_name(controller_data, *args.audit_app), text, 0, text);
        co_await std::move(stored);
        auto paths = routes_of(routes, node_link_data, args.start_app, end_app, tree);
        awaitable<void> made = make_var_on_loop(local_var_data, controller_data);
        co_await std::move(made);
        run_status = co_await for_play_book(std::move(paths), uuid);
      }
    } else {
      if (!rewalk) {
        // A run walked again has its start record from the first walk.
        awaitable<void> stored =
            add_execute_logs(uuid, start_app ? Value(*start_app) : Value(), "开始", "剧本开始执行",
                             0, "<span>剧本开始执行</span>");
        co_await std::move(stored);
      }
      auto paths = routes_of(routes, node_link_data, start_app, end_app, tree);
      awaitable<void> made = make_var_on_loop(local_var_data, controller_data);
      co_await std::move(made);
      run_status = co_await for_play_book(std::move(paths), uuid);
    }
  } catch (const std::exception& error) {
    spdlog::error("{} {}", text_form(workflow_name), describe_exception(error));
    aborted = error.what();
    tell_recorded(std::current_exception());
  } catch (...) {
    spdlog::error("{} {}", text_form(workflow_name), "unknown error");
    aborted = "unknown error";
    tell_recorded(std::current_exception());
  }

  // A run that asked to be resumed and is interrupted here (a signal, a
  // shutdown) is left running, as if this process had died: the next process
  // that repairs it walks it again. No record, no end, the counters kept.
  if (aborted && resumable && stop->stopped() && state_of_stop(*aborted) == "interrupted" &&
      attempt < k_max_attempts) {
    closing_state = "interrupted";
    services()->active->remove(only_id);
    co_return std::nullopt;
  }

  // A run that aborts says so in its own records, before it closes.
  std::exception_ptr record_failure;
  if (aborted) {
    const long long failed_before = failed_steps;
    try {
      awaitable<void> stored =
          records::add_failure(*this, uuid, "", workflow_name, "[运行错误] " + *aborted);
      co_await std::move(stored);
    } catch (...) {
      record_failure = std::current_exception();
    }
    failed_steps = failed_before;  // the abort is told apart from failed steps
  }
  if (run_status == 1) {
    closing_state = "waiting";
  } else if (aborted && stop->stopped()) {
    closing_state = state_of_stop(*aborted);
  } else {
    closing_state = aborted ? "aborted" : failed_steps > 0 ? "failed" : "done";
  }
  try {
    co_await end_run(run_status, uuid);
  } catch (...) {
    services()->active->remove(only_id);
    throw;
  }
  services()->active->remove(only_id);
  if (record_failure) std::rethrow_exception(record_failure);
  co_return std::nullopt;
}

}  // namespace vqflow
