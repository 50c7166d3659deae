#pragma once
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "context/services.h"
#include "run/run_tracker.h"

namespace vqflow {

// Runs a worker takes at once unless told otherwise.
constexpr std::size_t k_worker_concurrency_default = 64;

struct QueueWorkerOptions {
  std::size_t concurrency = k_worker_concurrency_default;
  // Entries of another consumer pending this long are taken over.
  std::chrono::milliseconds claim_after{30000};
  // The consumer's name in the group; empty: the services' owner (host:pid:start).
  std::string consumer;
};

// A consumer of the run queue (server/run_queue.h): a thread of its own reads
// the stream with a blocking XREADGROUP and hands each entry to the services'
// run loop, which starts the run through auto_execute, at most `concurrency`
// at once. An entry is acknowledged (and deleted) once its run's row is stored
// or the run is refused, never before: a worker that dies earlier leaves it
// pending, and another worker takes it over after claim_after. A taken-over
// entry whose run already has a row is not started again (the repair of runs
// of dead owners closes or resumes it); a decision whose run still waits is.
// Runs count in `tracker`; their live messages go to the run's channel.
class QueueWorker {
 public:
  QueueWorker(std::shared_ptr<Services> services, const std::string& url,
              QueueWorkerOptions options, std::shared_ptr<RunTracker> tracker);
  ~QueueWorker();  // stops taking entries and joins the reader
  QueueWorker(const QueueWorker&) = delete;
  QueueWorker& operator=(const QueueWorker&) = delete;

  // Makes the group if needed and starts reading. Throws StoreError.
  void start();
  // Takes no further entry (the reader ends within about a second); runs in
  // flight go on. Callable from any thread.
  void stop_taking();
  // Entries taken whose runs have not ended.
  std::size_t in_flight() const;
  // After stop_taking: the reader has ended and every run it took has ended.
  bool idle() const;
  // Runs started here so far.
  std::size_t started() const;
  const std::string& consumer() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vqflow
