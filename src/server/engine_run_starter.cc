// Kept apart from api.cc so that transport tests link without the engine.
#include "server/api.h"

namespace vqflow {

RunStarter engine_run_starter(std::shared_ptr<Services> services) {
  return [services](std::string uuid, std::shared_ptr<ClientConnection> s, RunRequest request,
                    RunFinished on_finished, RunRecorded on_recorded) {
    return auto_execute(services, std::move(uuid), std::move(s), std::move(request),
                        std::move(on_finished), std::move(on_recorded));
  };
}

}  // namespace vqflow
