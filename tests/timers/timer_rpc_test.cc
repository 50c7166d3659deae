#include "timers/timer_rpc.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "rpc/json_rpc.h"
#include "support/manual_clock.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

using ::testing::HasSubstr;

// The timer methods over JSON-RPC, on a scheduler that never fires.
class TimerRpcTest : public ::testing::Test {
 protected:
  void SetUp() override {
    services_ = test::make_test_services(dir_);
    SchedulerSetup setup;
    setup.zone = named_time_zone("UTC");
    setup.clock = test::ManualClock::make(
        parse_date_time("2024-01-01 12:00:00", named_time_zone("UTC"), "now"));
    service_ = std::make_unique<ManageTimer>(services_->db, setup);
    service_->start();
    register_timer_methods(registry_, *service_);
  }
  void TearDown() override { vq_timer.scheduler.reset(); }

  // The error object of one call (null when it succeeded).
  Value error_of(const std::string& method, const Value& params) {
    Value request = {{"jsonrpc", "2.0"}, {"method", method}, {"params", params}, {"id", 1}};
    Value answer = parse_json(*handle_json_rpc(registry_, request.dump()));
    return answer.value("error", Value(nullptr));
  }

  test::TempDir dir_;
  std::shared_ptr<Services> services_;
  std::unique_ptr<ManageTimer> service_;
  RpcRegistry registry_;
};

Value exec_params(const Value& settings, const Value& playbook = "pb") {
  Value params = {{"timer_app", "t1"}, {"w_timer_app", ""}};
  if (!playbook.is_null()) params["uuid"] = playbook;
  params["controller_data"] = Value{{"t1", settings}}.dump();
  return params;
}

TEST_F(TimerRpcTest, RefusedCallsNameTheParameterAndTheAllowedValues) {
  struct Case {
    std::string method;
    Value params;
    int code;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"exec", exec_params({{"type", "weekly"}, {"time", "1"}}), k_rpc_server_error,
       "timer node 't1': type 'weekly' is not one of date, interval, cron"},
      {"exec", exec_params({{"type", "interval"}, {"time", 10}}), k_rpc_server_error,
       "timer node 't1': interval_type is missing: an interval timer needs one of seconds, "
       "minutes, hours, days, weeks"},
      {"exec", exec_params({{"type", "interval"}, {"interval_type", "months"}, {"time", 10}}),
       k_rpc_server_error,
       "timer node 't1': interval_type 'months' is not one of seconds, minutes, hours, days, "
       "weeks"},
      {"exec", exec_params({{"time", 10}}), k_rpc_server_error,
       "timer node 't1': settings lack \"type\""},
      {"exec", exec_params({{"type", "cron"}}), k_rpc_server_error,
       "timer node 't1': settings lack \"time\""},
      {"exec", exec_params({{"type", "interval"}, {"interval_type", "seconds"}, {"time", "ten"}}),
       k_rpc_server_error, "time: 'ten' is not a whole number"},
      {"exec", exec_params({{"type", "cron"}, {"time", "* * * * *"}}, nullptr), k_rpc_server_error,
       "uuid (the playbook id the timer 't1' runs) is missing"},
      {"exec",
       {{"timer", "t1"}},
       k_rpc_invalid_params,
       "unknown parameter \"timer\" (expected: uuid, timer_app, w_timer_app, controller_data)"},
      {"pause", {{"uuid", "nope"}}, k_rpc_server_error, "no job with id \"nope\""},
  };
  for (const auto& c : cases) {
    Value error = error_of(c.method, c.params);
    ASSERT_TRUE(error.is_object()) << c.method << " " << c.params.dump();
    EXPECT_EQ(error["code"], c.code) << c.says;
    EXPECT_THAT(error["message"].get<std::string>(), HasSubstr(c.says)) << c.params.dump();
  }
  // None of them left a timer behind.
  EXPECT_TRUE(services_->db->table("timer").get().empty());
  EXPECT_TRUE(vq_timer.get_jobs().empty());
}

}  // namespace
}  // namespace vqflow
