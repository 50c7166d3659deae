#include "timer_calls.h"

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <boost/asio/io_context.hpp>

#include "base/errors.h"
#include "context/services.h"
#include "http_client.h"
#include "rpc/rpc_registry.h"
#include "timers/manage_timer.h"
#include "timers/service_lock.h"
#include "timers/timer_rpc.h"
#include "timers/vq_timer.h"

namespace vqflow::cli {

namespace {

class LocalTimerCalls : public TimerCalls {
 public:
  LocalTimerCalls(const GlobalOptions& global, bool changes) {
    global.start_process_log(true);
    services_ = open_services(global.resolve(), ioc_.get_executor());
    if (changes) {
      try {
        lock_ = TimerServiceLock::acquire(services_->kv, {});
      } catch (const ServiceLockError& e) {
        throw ServiceLockError(std::string(e.what()) +
                               "; to change its timers, give that server with --server URL");
      }
    }
    SchedulerSetup setup;  // no executor: the loaded timers never fire here
    setup.clock = services_->clock;
    setup.max_instances = services_->config.max_instances;
    service_ = std::make_unique<ManageTimer>(services_->db, std::move(setup));
    service_->start();
    register_timer_methods(registry_, *service_);
  }

  ~LocalTimerCalls() override {
    try {
      if (vq_timer.scheduler) vq_timer.shutdown();
      vq_timer.scheduler.reset();
      if (lock_) lock_->release();
      // The loop that would commit held-back key-value writes never runs here:
      // without this the lock would stay taken until it expires.
      services_->db->commit_pending();
    } catch (const std::exception& e) {
      spdlog::error("timer service: closing: {}", e.what());
    }
  }

  Value call(const std::string& method, const Value& params) override {
    const RpcMethod* found = registry_.find(method);
    if (found == nullptr) throw Error("timer service: no operation " + method);
    return (*found)(params);
  }

 private:
  boost::asio::io_context ioc_;
  std::shared_ptr<Services> services_;
  std::shared_ptr<TimerServiceLock> lock_;
  std::unique_ptr<ManageTimer> service_;
  RpcRegistry registry_;
};

class RemoteTimerCalls : public TimerCalls {
 public:
  RemoteTimerCalls(const std::string& url, std::optional<std::string> token)
      : server_(parse_server_url(url)), url_(url), token_(std::move(token)) {}

  Value call(const std::string& method, const Value& params) override {
    Value request = {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", 1}};
    std::map<std::string, std::string> headers;
    if (token_) headers["Authorization"] = "Bearer " + *token_;
    HttpAnswer answer = http_post(server_, "/rpc", json_text(request, false), headers);
    Value body;
    try {
      body = parse_json(answer.body);
    } catch (const std::exception&) {
      throw Error(fmt::format("{}: answered {} without JSON: {}", url_, answer.status,
                              answer.body.substr(0, 200)));
    }
    if (answer.status != 200) {
      throw Error(fmt::format("{}: {}", url_,
                              body.is_object() && body.contains("error")
                                  ? text_form(body["error"])
                                  : "answered " + std::to_string(answer.status)));
    }
    if (body.contains("error")) throw Error(text_form(body["error"].value("message", Value(""))));
    return body.value("result", Value(nullptr));
  }

 private:
  ServerUrl server_;
  std::string url_;
  std::optional<std::string> token_;
};

}  // namespace

std::unique_ptr<TimerCalls> local_timer_calls(const GlobalOptions& global, bool changes) {
  return std::make_unique<LocalTimerCalls>(global, changes);
}

std::unique_ptr<TimerCalls> remote_timer_calls(const std::string& url,
                                               std::optional<std::string> token) {
  return std::make_unique<RemoteTimerCalls>(url, std::move(token));
}

}  // namespace vqflow::cli
