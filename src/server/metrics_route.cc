#include "server/metrics_route.h"

#include "server/api.h"

namespace vqflow {

HttpResponse metrics_response(const Metrics* metrics) {
  if (metrics == nullptr) return error_response(404, "no metrics: this server runs no engine");
  HttpResponse out;
  out.content_type = "text/plain; version=0.0.4; charset=utf-8";
  out.body = prometheus_text(*metrics);
  return out;
}

}  // namespace vqflow
