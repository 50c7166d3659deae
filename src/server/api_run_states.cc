// The routes that read runs back from the runs table and ask for their cancel.
#include <spdlog/spdlog.h>

#include <exception>
#include <optional>

#include "base/utilities.h"
#include "run/run_states.h"
#include "server/api.h"
#include "server/api_routes.h"

namespace vqflow {

namespace {

constexpr long long k_runs_limit_default = 50;
constexpr long long k_runs_limit_max = 1000;

// The store failure as a 503 (logged once).
HttpResponse store_failure(const std::string& route, const std::exception& e) {
  spdlog::error("{}: {}", route, e.what());
  return error_response(503, e.what());
}

}  // namespace

HttpResponse Api::runs(const HttpRequest& request, const Params&) {
  HttpResponse refusal;
  Database* db = store(refusal);
  if (!db) return refusal;
  const std::map<std::string, std::string> query = query_parameters(request.target);
  RunFilter filter;
  if (auto it = query.find("playbook"); it != query.end() && !it->second.empty()) {
    filter.uuid = it->second;
  }
  if (auto it = query.find("state"); it != query.end() && !it->second.empty()) {
    filter.state = it->second;
  }
  filter.limit = k_runs_limit_default;
  if (auto it = query.find("limit"); it != query.end()) {
    std::optional<long long> limit = parse_integer(it->second);
    if (!limit || *limit < 1 || *limit > k_runs_limit_max) {
      return error_response(
          400, "\"limit\" must be a number from 1 to " + std::to_string(k_runs_limit_max));
    }
    filter.limit = *limit;
  }
  try {
    return json_response(200, list_runs(*db, filter));
  } catch (const std::exception& e) {
    return store_failure("GET /api/runs", e);
  }
}

HttpResponse Api::run_detail(const HttpRequest&, const Params& params) {
  const std::string& only_id = params[0];
  HttpResponse refusal;
  Database* db = store(refusal);
  if (!db) return refusal;
  try {
    std::optional<Value> state = run_state(*db, only_id);
    if (!state) return error_response(404, "no run " + only_id);
    return json_response(200, *state);
  } catch (const std::exception& e) {
    return store_failure("GET /api/runs/" + only_id, e);
  }
}

HttpResponse Api::cancel_run(const HttpRequest& request, const Params& params) {
  const std::string& only_id = params[0];
  HttpResponse refusal;
  std::optional<Value> body = Value::object();
  if (!request.body.empty()) body = request_json(request, refusal);
  if (!body) return refusal;
  if (!body->is_object()) return error_response(400, "the request body must be a JSON object");
  for (const auto& item : body->items()) {
    if (item.key() != "user") {
      return error_response(400, "\"" + item.key() + "\" is not a field of a cancel request");
    }
  }
  const Value user = body->value("user", Value(""));
  if (!user.is_string() || user.get_ref<const std::string&>().size() > 256) {
    return error_response(400, "\"user\" must be a text of at most 256 bytes");
  }
  Database* db = store(refusal);
  if (!db) return refusal;
  try {
    request_cancel(*db, only_id, user.get<std::string>(),
                   Time::get_date_time(*(services_ ? services_->clock : real_clock())));
  } catch (const RunNotFoundError& e) {
    return error_response(404, e.what());
  } catch (const RunNotRunningError& e) {
    return error_response(409, e.what());
  } catch (const std::exception& e) {
    return store_failure("POST /api/runs/" + only_id + "/cancel", e);
  }
  Value answer = Value::object();
  answer["only_id"] = only_id;
  answer["state"] = "cancelling";
  return json_response(202, answer);
}

}  // namespace vqflow
