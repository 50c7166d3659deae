#include "timers/service_lock.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <boost/asio/steady_timer.hpp>

#include "base/process_identity.h"
#include "base/spawn_logged.h"
#include "base/utilities.h"

namespace vqflow {

namespace {

const char* const k_token_prefix = "process ";

// "process HOST:PID:STARTTIME since DATE (RANDOM)": the process is named so
// that a contender on its host can tell that it died.
std::string make_token(const Clock& clock) {
  return fmt::format("{}{} since {} ({})", k_token_prefix, this_process().text(),
                     Time::get_date_time(clock), Random::random_text(10));
}

bool holder_is_dead(const std::string& token) {
  if (token.rfind(k_token_prefix, 0) != 0) return false;
  const std::size_t from = std::string(k_token_prefix).size();
  auto who = ProcessIdentity::parse(token.substr(from, token.find(' ', from) - from));
  if (!who) return false;
  auto alive = process_alive(*who);
  return alive && !*alive;
}

// Takes the lock of `dead` (a holder that died on this host) for `token`
// without waiting for it to expire. Of several contenders one wins: each
// must first claim the dead token under a key of its own.
bool take_from_dead(KvStore& kv, const ServiceLockOptions& options, const std::string& dead,
                    const std::string& token) {
  if (!kv.set_if_absent(options.key + "&&taken-from&&" + dead, token, options.ttl.count())) {
    return false;
  }
  if (kv.get(options.key) != dead) return false;
  kv.set(options.key, token, options.ttl.count());
  spdlog::warn("timer service: lock \"{}\" held by {}, which is gone; taken over", options.key,
               dead);
  return true;
}

}  // namespace

std::shared_ptr<TimerServiceLock> TimerServiceLock::acquire(std::shared_ptr<KvStore> kv,
                                                            boost::asio::any_io_executor executor,
                                                            ServiceLockOptions options,
                                                            std::function<void()> on_lost) {
  std::string token = make_token(options.clock ? *options.clock : *real_clock());
  if (!kv->set_if_absent(options.key, token, options.ttl.count())) {
    auto holder = kv->get(options.key).value_or("a holder that just let go");
    if (!holder_is_dead(holder) || !take_from_dead(*kv, options, holder, token)) {
      throw ServiceLockError(fmt::format(
          "timer service: another process already runs the timers of this database ({}; key "
          "\"{}\" in {}): stop it, or serve with --no-timers (the lock of a holder that died on "
          "another host expires within {} s)",
          holder, options.key, kv->describe(), options.ttl.count()));
    }
  }
  auto lock = std::shared_ptr<TimerServiceLock>(
      new TimerServiceLock(std::move(kv), std::move(executor), std::move(options),
                           std::move(on_lost), std::move(token)));
  lock->schedule_renewal();
  return lock;
}

TimerServiceLock::TimerServiceLock(std::shared_ptr<KvStore> kv,
                                   boost::asio::any_io_executor executor,
                                   ServiceLockOptions options, std::function<void()> on_lost,
                                   std::string token)
    : kv_(std::move(kv)),
      executor_(std::move(executor)),
      options_(std::move(options)),
      on_lost_(std::move(on_lost)),
      token_(std::move(token)) {}

TimerServiceLock::~TimerServiceLock() {
  try {
    release();
  } catch (...) {
    log_escaped("timer service: releasing its lock", std::current_exception());
  }
}

bool TimerServiceLock::held() const {
  std::lock_guard lock(mutex_);
  return held_;
}

bool TimerServiceLock::renew() {
  {
    std::lock_guard lock(mutex_);
    if (!held_) return false;
  }
  std::optional<std::string> holder;
  try {
    holder = kv_->get(options_.key);
    if (holder == token_) {
      kv_->set(options_.key, token_, options_.ttl.count());
      return true;
    }
    // Expired while this process stalled: take it back unless someone else did.
    if (!holder && kv_->set_if_absent(options_.key, token_, options_.ttl.count())) {
      spdlog::warn("timer service: lock \"{}\" had expired; taken again", options_.key);
      return true;
    }
    if (!holder) holder = kv_->get(options_.key);
  } catch (const std::exception& e) {
    spdlog::error("timer service: renewing lock \"{}\": {}", options_.key, e.what());
    return true;
  }
  {
    std::lock_guard lock(mutex_);
    held_ = false;
  }
  spdlog::error("timer service: lock \"{}\" now belongs to {}; this process stops its timers",
                options_.key, holder.value_or("another process"));
  if (on_lost_) on_lost_();
  return false;
}

void TimerServiceLock::release() {
  {
    std::lock_guard lock(mutex_);
    if (!held_) return;
    held_ = false;
  }
  if (kv_->get(options_.key) == token_) kv_->del(options_.key);
}

void TimerServiceLock::schedule_renewal() {
  if (!executor_) return;
  auto timer = std::make_shared<boost::asio::steady_timer>(executor_, options_.renew_every);
  timer->async_wait([weak = weak_from_this(), timer](const boost::system::error_code& error) {
    if (error) return;
    auto self = weak.lock();
    if (!self) return;
    if (self->renew()) self->schedule_renewal();
  });
}

}  // namespace vqflow
