#pragma once
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "plugins/call_control.h"
#include "plugins/plugin_loader.h"
#include "plugins/worker_protocol.h"
#include "value/value.h"

namespace vqflow {

// Runs persistent plug-ins: one long-lived worker process per app, started at
// its first call (`main/run --serve`), fed requests {"id","action","args"} as
// JSON lines on stdin (with "key" when the call has an idempotency key) and answering
// {"id","result"} or {"id","error"} lines on stdout, several calls in flight at once. call() may be
// awaited from any executor and thread. A call writes its request itself, and the answers are read
// on the executor of one of the calls waiting for them (the reader role passes to another waiting
// call when the reader's own answer is in), so a call costs about one pipe round trip. The host's
// own thread watches each worker's exit, stderr, timeouts and idleness.
//
// Invariants: a worker that ends, writes something that is not an answer, or
// lets a call outlive its timeout is killed with its process group, and every
// call in flight on it fails with AppCallError saying why; the next call
// starts a fresh worker. A worker with nothing in flight for idle_stop is
// stopped (stdin closed, SIGKILL after kill_grace). Every worker is reaped.
// At most one call reads a worker's answers at a time; a call that goes away
// (its coroutine destroyed) leaves the calls in flight and hands the role on.
class WorkerHost {
 public:
  struct Call {
    std::string app_key;      // one worker per key (the app folder)
    std::string stamp;        // when it changes, the old worker is retired
    std::string folder;       // working directory
    std::string program;      // the executable, run with "--serve"
    std::string context;      // "app x action y", for messages
    std::string action_json;  // the action name as JSON text
    std::chrono::steady_clock::duration timeout;
    std::size_t output_cap;  // bytes of one answer line
  };

  explicit WorkerHost(PluginOptions options);
  // Stops every worker (calls in flight fail) and joins the thread.
  ~WorkerHost();
  WorkerHost(const WorkerHost&) = delete;
  WorkerHost& operator=(const WorkerHost&) = delete;

  // The worker's answer to `action` with `args` (a JSON object of text
  // arguments): the "result" as it is, or AppArgumentError / AppCallError.
  // The request carries control.idempotency_key as "key" (when not empty);
  // when control.stop stops during the call, the worker is killed like a
  // crashed one (its other calls fail) and this call throws AppStoppedError.
  boost::asio::awaitable<Value> call(std::shared_ptr<const Call> call, Value args,
                                     CallControl control = {});

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vqflow
