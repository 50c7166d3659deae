#pragma once
#include <string>

#include "base/errors.h"
#include "run/auto_execute.h"
#include "value/value.h"

namespace vqflow {

// A run request body that cannot be used; the message names the field.
class RequestError : public Error {
 public:
  using Error::Error;
};

// The arguments of auto_execute carried by a request body.
struct ParsedRunRequest {
  std::string uuid;
  RunRequest request;
};

// Reads a run request: a JSON object with "uuid" (a non-empty text) and,
// optionally, "controller_data" (a JSON object or its text), "data" (any
// value), "app_uuid", "audit_app", "only_id", "start_app" (texts),
// "audit_status" (a text or an integer), "user" (a text) and "on_interrupt"
// ("fail" or "resume"). A null member is
// absent. Throws RequestError naming the first faulty or unknown field.
ParsedRunRequest parse_run_request(const Value& body);

}  // namespace vqflow
