// The routes that list what is stored: playbooks and pending approvals.
#include <spdlog/spdlog.h>

#include <exception>

#include "run/run_catalog.h"
#include "server/api.h"

namespace vqflow {

namespace {

// 200 with what `read` answers from the store, or 503 naming the store's failure.
template <typename Read>
HttpResponse store_answer(Database* db, const char* route, Read read) {
  try {
    return json_response(200, read(*db));
  } catch (const std::exception& e) {
    spdlog::error("GET {}: {}", route, e.what());
    return error_response(503, e.what());
  }
}

}  // namespace

HttpResponse Api::playbooks(const HttpRequest&, const Params&) {
  HttpResponse refusal;
  Database* db = store(refusal);
  return db ? store_answer(db, "/api/playbooks", list_playbooks) : refusal;
}

HttpResponse Api::playbook_detail(const HttpRequest&, const Params& params) {
  const std::string& uuid = params[0];
  HttpResponse refusal;
  Database* db = store(refusal);
  if (!db) return refusal;
  std::optional<Value> found;
  HttpResponse answer = store_answer(db, "/api/playbooks/{uuid}", [&found, &uuid](Database& d) {
    found = vqflow::playbook_detail(d, uuid);
    return found ? *found : Value();
  });
  if (answer.status == 200 && !found) return error_response(404, "no playbook " + uuid);
  return answer;
}

HttpResponse Api::audits(const HttpRequest&, const Params&) {
  HttpResponse refusal;
  Database* db = store(refusal);
  return db ? store_answer(db, "/api/audits", list_pending_audits) : refusal;
}

}  // namespace vqflow
