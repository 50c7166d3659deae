#pragma once
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <map>
#include <memory>
#include <string>

#include "fake_run_starter.h"
#include "rpc/json_rpc.h"
#include "server/api.h"
#include "support/test_support.h"
#include "value/value.h"

namespace vqflow::test {

// A request as the transport hands it to the Api (a local Host unless given).
inline HttpRequest request(std::string method, std::string target, std::string body = "",
                           std::map<std::string, std::string> headers = {}) {
  HttpRequest out;
  out.method = std::move(method);
  out.target = std::move(target);
  out.body = std::move(body);
  out.headers = std::move(headers);
  if (!out.headers.count("host")) out.headers["host"] = "127.0.0.1:8080";
  return out;
}

class ApiTest : public ::testing::Test {
 protected:
  void make_api(ApiOptions options = {}, bool with_stores = true) {
    if (with_stores) {
      services_ = make_test_services(dir_);
      // The playbooks the requests name: runs of others are refused before the starter.
      for (const char* uuid : {"wf", "wf-1", "wf-held", "pb"}) {
        services_->db->table("workflow").insert(Value{{"uuid", uuid}, {"status", 0}});
      }
    }
    add_ping_method(rpc_);
    starter_ = std::make_shared<FakeRunStarter>(ioc_);
    api_ = std::make_unique<Api>(services_, &rpc_, starter_->starter(), std::move(options));
  }
  // What admit then handle answer, as the transport would call them.
  HttpResponse answer(const HttpRequest& req) {
    if (auto refusal = api_->admit(req, req.body.size())) return *refusal;
    return api_->handle(req);
  }
  static Value body(const HttpResponse& response) { return parse_json(response.body); }

  TempDir dir_;
  boost::asio::io_context ioc_;
  std::shared_ptr<Services> services_;
  RpcRegistry rpc_;
  std::shared_ptr<FakeRunStarter> starter_;
  std::unique_ptr<Api> api_;
};

}  // namespace vqflow::test
