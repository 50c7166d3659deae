#pragma once
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "context/client_connection.h"

namespace vqflow {

// The clients watching runs of this process, by only_id: each gets every live
// message of the runs it subscribed to from then on. Bounded: a run takes at
// most `per_run` watchers and a client watches at most `per_client` runs. Holds
// the clients weakly; a client that closed is removed by unsubscribe_all.
// Safe from any thread (the server's loop subscribes, the run loop publishes).
class RunSubscribers {
 public:
  explicit RunSubscribers(std::size_t per_run = 64, std::size_t per_client = 256)
      : per_run_(per_run), per_client_(per_client) {}

  enum class Outcome { subscribed, already, run_full, client_full };
  Outcome subscribe(const std::string& only_id, const std::shared_ptr<ClientConnection>& client);
  // Removes every subscription of `client` (it closed).
  void unsubscribe_all(const ClientConnection* client);
  // Sends `text` to the watchers of the run (outside the lock; a failing
  // send is that client's loss only).
  void publish(const std::string& only_id, const std::string& text) const;
  std::size_t watchers(const std::string& only_id) const;

 private:
  struct Watcher {
    const ClientConnection* key;
    std::weak_ptr<ClientConnection> client;
  };
  std::size_t per_run_;
  std::size_t per_client_;
  mutable std::mutex mutex_;
  std::map<std::string, std::vector<Watcher>> by_run_;
  std::map<const ClientConnection*, std::size_t> runs_of_client_;
};

// The connection a run of the server is given: its messages go to the client
// that started it (if any) and to the watchers of its only_id. The only_id is
// known once the run is submitted (name it then), or beforehand when the run
// resumes after a decision; messages sent before that reach the starter only.
class WatchedConnection : public ClientConnection {
 public:
  WatchedConnection(std::shared_ptr<ClientConnection> starter,
                    std::shared_ptr<const RunSubscribers> watchers, std::string only_id)
      : starter_(std::move(starter)),
        watchers_(std::move(watchers)),
        only_id_(std::move(only_id)) {}

  void name(const std::string& only_id);
  void send(const std::string& text) override;

 private:
  std::shared_ptr<ClientConnection> starter_;
  std::shared_ptr<const RunSubscribers> watchers_;
  std::mutex mutex_;
  std::string only_id_;
};

}  // namespace vqflow
