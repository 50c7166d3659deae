#include "server/run_subscribers.h"

#include <algorithm>

#include "server/api.h"

namespace vqflow {

RunSubscribers::Outcome RunSubscribers::subscribe(const std::string& only_id,
                                                  const std::shared_ptr<ClientConnection>& client) {
  std::lock_guard lock(mutex_);
  std::vector<Watcher>& list = by_run_[only_id];
  const auto same = [&](const Watcher& w) { return w.key == client.get(); };
  if (std::any_of(list.begin(), list.end(), same)) return Outcome::already;
  Outcome refused = Outcome::subscribed;
  if (list.size() >= per_run_) refused = Outcome::run_full;
  std::size_t& count = runs_of_client_[client.get()];
  if (refused == Outcome::subscribed && count >= per_client_) refused = Outcome::client_full;
  if (refused != Outcome::subscribed) {
    if (list.empty()) by_run_.erase(only_id);
    if (count == 0) runs_of_client_.erase(client.get());
    return refused;
  }
  list.push_back({client.get(), client});
  ++count;
  return Outcome::subscribed;
}

void RunSubscribers::unsubscribe_all(const ClientConnection* client) {
  std::lock_guard lock(mutex_);
  if (runs_of_client_.erase(client) == 0) return;
  for (auto it = by_run_.begin(); it != by_run_.end();) {
    auto& list = it->second;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [client](const Watcher& w) { return w.key == client; }),
               list.end());
    it = list.empty() ? by_run_.erase(it) : std::next(it);
  }
}

void RunSubscribers::publish(const std::string& only_id, const std::string& text) const {
  std::vector<std::shared_ptr<ClientConnection>> targets;
  {
    std::lock_guard lock(mutex_);
    auto it = by_run_.find(only_id);
    if (it == by_run_.end()) return;
    for (const Watcher& w : it->second) {
      if (auto client = w.client.lock()) targets.push_back(std::move(client));
    }
  }
  for (const auto& client : targets) {
    try {
      client->send(text);
    } catch (...) {
      // That client misses the message; the others and the run go on.
    }
  }
}

std::size_t RunSubscribers::watchers(const std::string& only_id) const {
  std::lock_guard lock(mutex_);
  auto it = by_run_.find(only_id);
  return it == by_run_.end() ? 0 : it->second.size();
}

void WatchedConnection::name(const std::string& only_id) {
  std::lock_guard lock(mutex_);
  only_id_ = only_id;
}

void WatchedConnection::send(const std::string& text) {
  std::string only_id;
  {
    std::lock_guard lock(mutex_);
    only_id = only_id_;
  }
  if (!only_id.empty()) watchers_->publish(only_id, text);
  if (starter_) starter_->send(text);
}

RunStarter watched_run_starter(RunStarter inner, std::shared_ptr<RunSubscribers> watchers) {
  return [inner = std::move(inner), watchers = std::move(watchers)](
             std::string uuid, std::shared_ptr<ClientConnection> s, RunRequest request,
             RunFinished on_finished, RunRecorded on_recorded) {
    // A resumed run keeps its only_id: its watchers are known from the start.
    auto watched =
        std::make_shared<WatchedConnection>(std::move(s), watchers, request.only_id.value_or(""));
    std::string only_id = inner(std::move(uuid), watched, std::move(request),
                                std::move(on_finished), std::move(on_recorded));
    watched->name(only_id);
    return only_id;
  };
}

}  // namespace vqflow
