#pragma once
#include "base/metrics.h"
#include "server/http_types.h"

namespace vqflow {

// The answer to GET /metrics: the metrics in the Prometheus text format
// (version 0.0.4); 404 when the server has no services (transport tests).
HttpResponse metrics_response(const Metrics* metrics);

}  // namespace vqflow
