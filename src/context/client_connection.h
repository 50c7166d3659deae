#pragma once
#include <string>

namespace vqflow {

// The client that asked for a run and receives its live messages. send may
// throw (a closed connection); callers swallow that. Called on the run's loop.
class ClientConnection {
 public:
  virtual ~ClientConnection() = default;
  virtual void send(const std::string& text) = 0;
};

}  // namespace vqflow
