#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <chrono>

#include "rpc/json_rpc.h"
#include "support/log_capture.h"
#include "support/manual_clock.h"
#include "support/test_support.h"
#include "timers/timer_host.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;

// A playbook of a start node joined to an end node.
Row tiny_playbook(const std::string& uuid) {
  Value flow = {
      {"cells",
       {{{"shape", "html"}, {"id", "s"}, {"data", {{"name", "start"}}}},
        {{"shape", "html"}, {"id", "e"}, {"data", {{"name", "end"}}}},
        {{"shape", "vqEdge"}, {"source", {{"cell", "s"}}}, {"target", {{"cell", "e"}}}}}}};
  Row row = Row::object();
  row["uuid"] = uuid;
  row["name"] = "timer e2e";
  row["remarks"] = "";
  row["start_app"] = "s";
  row["end_app"] = "e";
  row["flow_json"] = flow.dump();
  row["flow_data"] = "{}";
  row["controller_data"] = "{}";
  row["local_var_data"] = "[]";
  row["status"] = 0;
  return row;
}

// The result of one call; fails the test when the call answers an error.
Value rpc(const RpcRegistry& registry, const std::string& method, const Value& params) {
  Value call = {{"jsonrpc", "2.0"}, {"id", 1}, {"method", method}, {"params", params}};
  Value answer = parse_json(handle_json_rpc(registry, call.dump()).value_or("null"));
  EXPECT_FALSE(answer.contains("error")) << method << ": " << answer.dump();
  return answer.value("result", Value());
}

// Test services whose loop is the test's own io_context.
class TimerEndToEndTest : public ::testing::Test {
 protected:
  TimerEndToEndTest() : services(test::make_test_services(dir)) {
    services->executor = ioc.get_executor();
  }

  test::TempDir dir;
  boost::asio::io_context ioc;  // outlives the services, whose executor it is
  std::shared_ptr<Services> services;
};

TEST_F(TimerEndToEndTest, ASecondsTimerMadeOverRpcStartsRealRuns) {
  auto clock = test::ManualClock::make();
  services->clock = clock;
  services->db->table("workflow").insert(tiny_playbook("pb-e2e"));

  RpcRegistry registry;
  auto host = TimerHost::start(services, registry);
  Value settings = {{"tm", {{"type", "interval"}, {"interval_type", "seconds"}, {"time", "1"}}}};
  rpc(registry, "exec",
      {{"uuid", "pb-e2e"},
       {"timer_app", "tm"},
       {"w_timer_app", ""},
       {"controller_data", settings.dump()}});
  rpc(registry, "resume", {{"uuid", "tm"}});

  auto start_records = [&] {
    return services->db->table("logs")
        .where("uuid", "pb-e2e")
        .where("result", "剧本开始执行")
        .get()
        .size();
  };
  // Each second that passes on the clock, the job fires on the loop (the
  // owner of a manual clock wakes the scheduler) and its run goes on there.
  for (std::size_t fired = 1; fired <= 2; ++fired) {
    clock->advance(1s);
    boost::asio::post(ioc, [] { vq_timer.scheduler->run_due_jobs(); });
    EXPECT_TRUE(test::run_until(ioc, [&] { return start_records() == fired; }));
  }
  Value jobs = rpc(registry, "get_jobs", Value::object());
  ASSERT_EQ(jobs.size(), 1u);
  EXPECT_EQ(jobs[0]["trigger"], "interval[0:00:01]");
  EXPECT_EQ(jobs[0]["uuid"], "pb-e2e");
  host.reset();
  vq_timer.scheduler.reset();
}

// A run a timer starts is counted (and named) until it closes, so that a
// shutdown waits for it and a refused start leaves nothing counted.
TEST_F(TimerEndToEndTest, TimerRunsAreTrackedUntilTheyClose) {
  services->db->table("workflow").insert(tiny_playbook("pb-tracked"));
  auto tracker = std::make_shared<RunTracker>();
  SchedulerSetup setup = scheduler_setup_for(services, tracker);

  int done = 0;
  test::LogCapture log;
  setup.run_playbook(Value("pb-tracked"), "t-tracked", [&done] { ++done; });
  ASSERT_EQ(tracker->in_progress(), 1u);  // submitted, not yet run
  const auto runs = tracker->runs();
  EXPECT_EQ(runs[0].uuid, "pb-tracked");
  EXPECT_EQ(runs[0].only_id.size(), 10u);
  // Each fire leaves one line that ties the timer to its run.
  EXPECT_THAT(
      log.at_level(spdlog::level::info),
      ::testing::Contains("timer t-tracked fired: playbook pb-tracked, run " + runs[0].only_id));
  ioc.run();
  EXPECT_EQ(done, 1);
  EXPECT_EQ(tracker->in_progress(), 0u);

  // A start refused at once (the loop is gone) counts nothing either.
  services->executor = boost::asio::any_io_executor();
  EXPECT_ANY_THROW(
      scheduler_setup_for(services, tracker).run_playbook(Value("pb-tracked"), "t", [&done] {
        ++done;
      }));
  EXPECT_EQ(done, 2);
  EXPECT_EQ(tracker->in_progress(), 0u);
}

TEST_F(TimerEndToEndTest, ASecondServiceOnTheSameStoresWaitsAsAStandby) {
  RpcRegistry first_registry, second_registry;
  auto first = TimerHost::start(services, first_registry, {}, nullptr, 20ms);
  auto second = TimerHost::start(services, second_registry, {}, nullptr, 20ms);
  EXPECT_TRUE(first->active());
  EXPECT_FALSE(second->active());
  ASSERT_NE(second_registry.find("get_jobs"), nullptr);
  EXPECT_THROW((*second_registry.find("get_jobs"))(Value::object()), RpcError);
  // The holder lets go: the standby takes the lock at its next attempt.
  first.reset();
  EXPECT_TRUE(test::run_until(ioc, [&] { return second->active(); }));
  EXPECT_EQ((*second_registry.find("get_jobs"))(Value::object()), Value::array());
  second.reset();
  vq_timer.scheduler.reset();
}

}  // namespace
}  // namespace vqflow
