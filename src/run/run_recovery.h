#pragma once
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "context/services.h"
#include "run/auto_execute.h"

namespace vqflow {

// A run's owner holds a lease in the key-value store while it runs runs:
// the key "owner&&" + owner, renewed every k_lease_renewal, expiring after
// k_lease_length. A run whose owner is a dead process of this host is
// repaired at once; one whose owner is elsewhere, once its lease has lapsed.
constexpr std::chrono::seconds k_lease_length{15};
constexpr std::chrono::seconds k_lease_renewal{5};
std::string lease_key(const std::string& owner);
void renew_lease(Services& services);

// The stop reasons a run records ("[运行错误] " + reason) and the state each
// leaves it in.
std::string cancel_reason(const std::string& user);
std::string interrupt_reason(const std::string& owner);
// The record of a run that is walked again, and of one closed because its
// last walk (k_max_attempts) was interrupted too.
std::string resume_reason(const std::string& owner);
std::string last_attempt_reason(const std::string& owner, long long attempt);
// "cancelled" for a cancel, else "interrupted".
std::string state_of_stop(const std::string& reason);

// Whether the runs of `owner` are orphaned: its process is gone, or, for a
// process of another host, its lease has lapsed.
bool owner_is_gone(Services& services, const std::string& owner);

struct RepairedRun {
  std::string only_id;
  std::string uuid;
  std::string owner;
  bool resumed = false;   // walked again here, else closed as interrupted
  long long attempt = 0;  // the new walk's attempt, when resumed
  std::string reason;     // what its status-1 record says, without "[运行错误] "
};

// Repairs every run left "running" by an owner that is gone: claims it with
// a conditional update (so that of two repairing processes one repairs).
// A run that asked to be resumed (walks_again) gets the status-1 record
// "[运行错误] run interrupted: <owner> stopped, resuming", becomes this
// process's running run with attempt + 1 and is walked again on the services'
// loop (walk_again; `on_walked` is told when that walk ends). Any other gets
// the record "[运行错误] run interrupted: <owner> stopped", the end record and
// the report, is marked interrupted and has the two counters it raised
// lowered. Answers the runs repaired. Throws StoreError.
std::vector<RepairedRun> recover_runs(const std::shared_ptr<Services>& shared,
                                      const RunFinished& on_walked = nullptr);

// Keeps this process's runs known to the stores, on the services' executor:
// renews the lease every k_lease_renewal, stops the runs here whose cancel was
// asked for (checked every second), and, with `recover`, repairs orphaned
// runs every few seconds (`on_walked` is told when a resumed run's walk ends).
// Store failures are logged and retried on the next turn. start() renews the
// lease and repairs once before it answers (throwing StoreError); stop() ends
// it (from the loop's thread).
class RunKeeper {
 public:
  RunKeeper(std::shared_ptr<Services> services, bool recover, RunFinished on_walked = nullptr);
  ~RunKeeper();
  RunKeeper(const RunKeeper&) = delete;
  RunKeeper& operator=(const RunKeeper&) = delete;

  std::vector<RepairedRun> start();
  void stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace vqflow
