#include "server/metrics_route.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <map>
#include <sstream>

#include "run/auto_execute.h"
#include "stores/failure_counting.h"
#include "support/echo_playbook.h"
#include "support/refusing_kv_store.h"
#include "support/test_support.h"

namespace vqflow {
namespace {

// Sample name with labels -> value, from a Prometheus text; comment lines
// must be HELP or TYPE.
std::map<std::string, double> parse_samples(const std::string& text) {
  std::map<std::string, double> out;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) continue;
    const auto space = line.rfind(' ');
    EXPECT_NE(space, std::string::npos) << line;
    EXPECT_TRUE(out.emplace(line.substr(0, space), std::stod(line.substr(space + 1))).second)
        << "twice: " << line;
  }
  return out;
}

TEST(MetricsRouteTest, CountersMoveAfterARun) {
  test::TempDir dir;
  auto services = test::make_test_services(dir);
  test::add_echo_app(*services, dir);
  services->db->table("workflow").insert(test::echo_playbook("pb", false));
  boost::asio::io_context ioc;
  services->executor = ioc.get_executor();

  auto before = parse_samples(metrics_response(services->metrics.get()).body);
  EXPECT_EQ(before.at("vqflow_runs_started_total"), 0);
  std::string state;
  auto_execute(services, "pb", nullptr, RunRequest{},
               [&state](const RunOutcome& outcome) { state = outcome.state; });
  ioc.run();
  ASSERT_EQ(state, "done");

  HttpResponse response = metrics_response(services->metrics.get());
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.content_type, "text/plain; version=0.0.4; charset=utf-8");
  auto after = parse_samples(response.body);
  EXPECT_EQ(after.at("vqflow_runs_started_total"), 1);
  EXPECT_EQ(after.at("vqflow_runs_closed_total{state=\"done\"}"), 1);
  EXPECT_EQ(after.at("vqflow_runs_closed_total{state=\"failed\"}"), 0);
  EXPECT_EQ(after.at("vqflow_run_duration_seconds_count"), 1);
  EXPECT_EQ(after.at("vqflow_runs_in_flight"), 0);
  EXPECT_EQ(after.at("vqflow_app_call_duration_seconds_count{app=\"echo\"}"), 2);
  // Start, two nodes, end (the logs) and the report.
  EXPECT_EQ(after.at("vqflow_records_written_total"), 5);
  EXPECT_EQ(after.at("vqflow_store_errors_total{store=\"kv\"}"), 0);
}

TEST(MetricsRouteTest, StoreFailuresAreCountedAndStillThrown) {
  Counter failures;
  auto refusing = std::make_shared<test::RefusingKvStore>(open_kv_store("memory://", std::nullopt));
  auto kv = counting_failures(refusing, failures);
  kv->set("k", "v");
  EXPECT_EQ(kv->get("k"), "v");
  refusing->refuse_reads = true;
  EXPECT_THROW(kv->get("k"), StoreError);
  EXPECT_THROW(kv->exists("k"), StoreError);
  EXPECT_EQ(failures.value(), 2u);
}

TEST(MetricsRouteTest, NoServicesNoMetrics) { EXPECT_EQ(metrics_response(nullptr).status, 404); }

}  // namespace
}  // namespace vqflow
