#pragma once
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "context/services.h"

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
// "cancelled" for a cancel, else "interrupted".
std::string state_of_stop(const std::string& reason);

// Whether the runs of `owner` are orphaned: its process is gone, or, for a
// process of another host, its lease has lapsed.
bool owner_is_gone(Services& services, const std::string& owner);

struct RepairedRun {
  std::string only_id;
  std::string uuid;
  std::string owner;
};

// Repairs every run left "running" by an owner that is gone: claims it with
// a conditional update (so that of two repairing processes one repairs),
// writes the status-1 record "[运行错误] run interrupted: <owner> stopped",
// the end record and the report, marks it interrupted and lowers the two
// counters it raised. Answers the runs repaired. Throws StoreError.
std::vector<RepairedRun> recover_runs(Services& services);

// Keeps this process's runs known to the stores, on the services' executor:
// renews the lease every k_lease_renewal, stops the runs here whose cancel was
// asked for (checked every second), and, with `recover`, repairs orphaned
// runs every few seconds. Store failures are logged and retried on the next
// turn. start() renews the lease and repairs once before it answers (throwing StoreError); stop()
// ends it (from the loop's thread).
class RunKeeper {
 public:
  RunKeeper(std::shared_ptr<Services> services, bool recover);
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
