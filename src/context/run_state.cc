#include "context/run_state.h"

#include <spdlog/spdlog.h>

#include "base/errors.h"

// g++ 12 misreads the recycling allocator of Asio 1.18 coroutine frames.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace vqflow {

namespace {

KvWrite* staged_write(std::vector<KvWrite>& staged, const std::string& key) {
  for (auto it = staged.rbegin(); it != staged.rend(); ++it) {
    if (it->key == key) return &*it;
  }
  return nullptr;
}

}  // namespace

RunState::RunState(std::shared_ptr<Services> services, std::shared_ptr<ClientConnection> socket_)
    : only_id(services->random ? services->random->make_order_number(10) : Random::random_text(10)),
      socket(std::move(socket_)),
      services_(std::move(services)),
      new_id_(only_id) {}

RunState::~RunState() { send_staged_kv(); }

void RunState::stage_kv(std::string key, std::string value) {
  // Bounded in count and bytes: a long run sends its writes in slices.
  constexpr std::size_t k_max_staged = 256;
  constexpr std::size_t k_max_staged_bytes = 1 << 20;
  if (journal_) journal_->push_back(KvWrite{key, value, services_->config.lose_time});
  if (KvWrite* earlier = staged_write(staged_, key)) {
    staged_bytes_ = staged_bytes_ - earlier->value.size() + value.size();
    earlier->value = std::move(value);
    earlier->expire_seconds = services_->config.lose_time;
  } else {
    staged_bytes_ += key.size() + value.size();
    staged_.push_back(KvWrite{std::move(key), std::move(value), services_->config.lose_time});
  }
  if (staged_.size() >= k_max_staged || staged_bytes_ >= k_max_staged_bytes) kv();
}

std::optional<std::string> RunState::read_kv(const std::string& key) {
  if (const KvWrite* staged = staged_write(staged_, key)) return staged->value;
  if (nothing_stored()) return std::nullopt;
  return services_->kv->get(key);
}

bool RunState::kv_has(const std::string& key) {
  if (staged_write(staged_, key) != nullptr) return true;
  return !nothing_stored() && services_->kv->exists(key);
}

KvStore& RunState::kv() {
  KvStore& store = *services_->kv;
  if (!staged_.empty()) {
    std::vector<KvWrite> writes = take_staged();
    store.set_many(writes);
    // Later writes reuse the room.
    writes.clear();
    if (staged_.empty()) staged_.swap(writes);
  }
  return store;
}

std::vector<KvWrite> RunState::take_staged() {
  std::vector<KvWrite> writes;
  writes.swap(staged_);
  staged_bytes_ = 0;
  sent_kv_ = true;  // even a failed send may have stored a prefix
  return writes;
}

std::vector<KvWrite> RunState::take_kv_journal() {
  std::vector<KvWrite> out = journal_ ? std::move(*journal_) : std::vector<KvWrite>();
  journal_.reset();
  return out;
}

awaitable<void> RunState::send_staged_kv_on_loop() {
  if (staged_.empty()) co_return;
  if (!services_->loop_kv) {
    send_staged_kv();
    co_return;
  }
  try {
    auto sent = services_->loop_kv->set_many(take_staged());
    co_await std::move(sent);
  } catch (const std::exception& error) {
    spdlog::error("run {}: key-value writes lost: {}", only_id, error.what());
  }
}

void RunState::send_staged_kv() {
  try {
    kv();
  } catch (const std::exception& error) {
    spdlog::error("run {}: key-value writes lost: {}", only_id, error.what());
  }
}

}  // namespace vqflow

namespace vqflow {

void RunState::check_stop() const {
  if (auto reason = stop->reason()) throw RunStoppedError(*reason);
}

}  // namespace vqflow
