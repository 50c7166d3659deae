#pragma once
#include <boost/asio/any_io_executor.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "base/clock.h"
#include "base/errors.h"
#include "stores/kv_store.h"

namespace vqflow {

// Another process already runs the timer service of this database.
class ServiceLockError : public Error {
 public:
  using Error::Error;
};

struct ServiceLockOptions {
  std::string key = "vqflow:timer-service-lock";
  std::chrono::seconds ttl{30};                       // the lock of a holder gone elsewhere expires
  std::chrono::seconds renew_every{10};               // well inside ttl
  std::shared_ptr<const Clock> clock = real_clock();  // dates the token (null: the system's)
};

// The lock that keeps a second process from running the timers of the same
// database (which would fire every timer twice): an expiring key in the shared
// key-value store holding this process's token, renewed on the loop while the
// service runs and deleted by release(). When a renewal finds the key held by
// someone else, `on_lost` is called (on the loop) so that the host can stop its
// timers. The token names the holding process, so that a holder that died on
// this host is taken over at once, not after the key expires. Operations may
// be called from any thread.
class TimerServiceLock : public std::enable_shared_from_this<TimerServiceLock> {
 public:
  // Takes the lock and starts renewing it on `executor` (none when empty).
  // Throws ServiceLockError naming the holder when the key is taken, StoreError
  // when the store fails.
  static std::shared_ptr<TimerServiceLock> acquire(std::shared_ptr<KvStore> kv,
                                                   boost::asio::any_io_executor executor,
                                                   ServiceLockOptions options = {},
                                                   std::function<void()> on_lost = nullptr);
  ~TimerServiceLock();

  // Extends the lock; false when it now belongs to someone else (on_lost has
  // then been called). A store failure is logged and counts as still held.
  bool renew();
  // Deletes the key if this process still holds it, and stops renewing. Idempotent.
  void release();
  bool held() const;
  const std::string& token() const { return token_; }

 private:
  TimerServiceLock(std::shared_ptr<KvStore> kv, boost::asio::any_io_executor executor,
                   ServiceLockOptions options, std::function<void()> on_lost, std::string token);
  void schedule_renewal();

  std::shared_ptr<KvStore> kv_;
  boost::asio::any_io_executor executor_;
  ServiceLockOptions options_;
  std::function<void()> on_lost_;
  std::string token_;
  mutable std::mutex mutex_;
  bool held_ = true;
};

}  // namespace vqflow
