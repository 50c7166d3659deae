#pragma once
#include <memory>
#include <optional>
#include <string>

#include "commands.h"
#include "value/value.h"

namespace vqflow::cli {

// The remote timer operations (exec, remove, pause, resume, get_jobs, ...)
// called by name with params by name, wherever the timer service is: in this
// process on the stores, or in a running server over its JSON-RPC. A failed
// call throws Error carrying the method's message. One thread at a time.
class TimerCalls {
 public:
  virtual ~TimerCalls() = default;
  virtual Value call(const std::string& method, const Value& params) = 0;
};

// The timer service of this process on the stores `global` selects: the stored
// timers are loaded into a scheduler that never fires. With `changes`, the
// timer service lock is taken first (so that a serving process running the
// timers is not bypassed: ServiceLockError says to use --server) and released
// when the object is destroyed.
std::unique_ptr<TimerCalls> local_timer_calls(const GlobalOptions& global, bool changes);

// The JSON-RPC of the server at `url` (http://host:port), with the bearer
// token when given. ConfigError for a malformed url.
std::unique_ptr<TimerCalls> remote_timer_calls(const std::string& url,
                                               std::optional<std::string> token);

}  // namespace vqflow::cli
