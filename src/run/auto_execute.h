#pragma once
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "context/services.h"
#include "context/client_connection.h"
#include "value/value.h"

namespace vqflow {

// Arguments of a run request, by name; absent means not given.
struct RunRequest {
  std::optional<Value> controller_data;  // node settings: a JSON object text (or a map)
  std::optional<Value> data;             // input data for the node `app_uuid`
  std::optional<std::string> app_uuid;
  std::optional<Value> audit_status;
  std::optional<std::string> audit_app;
  std::optional<std::string> only_id;
  std::optional<Value> user;
  std::optional<std::string> start_app;
};

// Called on the loop when the run is closed (or failed before it could be):
// the error that escaped the run, if any.
using RunFinished = std::function<void(std::exception_ptr)>;

// Prepares the node settings the request carries, creates one Auto and submits
// its run to the services' event loop; returns at once with the new engine's
// only_id (the run keeps the request's only_id when it resumes after an audit).
// Callable from any thread. Throws ConfigError, before any run is submitted,
// when controller_data is not a JSON object.
std::string auto_execute(std::shared_ptr<Services> services, std::string uuid,
                         std::shared_ptr<ClientConnection> s = nullptr, RunRequest request = {},
                         RunFinished on_finished = nullptr);

}  // namespace vqflow
