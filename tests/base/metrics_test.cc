#include "base/metrics.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vqflow {
namespace {

using ::testing::HasSubstr;

TEST(MetricsTest, HistogramBucketsAreCumulativeAndCountTheEdgeIntoItsBucket) {
  Histogram h;
  for (double seconds : {0.001, 0.005, 0.3, 7.0, 1000.0}) h.observe(seconds);
  const auto s = h.snapshot();
  EXPECT_EQ(s.cumulative[0], 2u);      // le 0.005 holds 0.005 itself
  EXPECT_EQ(s.cumulative[5], 2u);      // le 0.25
  EXPECT_EQ(s.cumulative[6], 3u);      // le 0.5
  EXPECT_EQ(s.cumulative[10], 4u);     // le 10
  EXPECT_EQ(s.cumulative.back(), 4u);  // 1000 s only in +Inf
  EXPECT_EQ(s.count, 5u);
  EXPECT_DOUBLE_EQ(s.sum, 0.001 + 0.005 + 0.3 + 7.0 + 1000.0);
}

TEST(MetricsTest, LabelsBeyondTheCapCountAsOther) {
  LabeledHistograms by_app(2);
  for (const char* app : {"a", "b", "c", "d", "a"}) by_app.observe(app, 0.1);
  const auto s = by_app.snapshot();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s.at("a").count, 2u);
  EXPECT_EQ(s.at("b").count, 1u);
  EXPECT_EQ(s.at("other").count, 2u);  // c and d
}

TEST(MetricsTest, CountsFromManyThreadsAddUp) {
  Metrics m;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&m, t] {
      for (int i = 0; i < 1000; ++i) {
        m.records_written.add();
        m.app_call_duration.observe("app" + std::to_string(i % 3), 0.01);
        m.run_closed(t % 2 ? "done" : "failed", 0.5);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(m.records_written.value(), 4000u);
  EXPECT_EQ(m.run_duration.snapshot().count, 4000u);
  std::uint64_t calls = 0;
  for (const auto& [app, h] : m.app_call_duration.snapshot()) calls += h.count;
  EXPECT_EQ(calls, 4000u);
}

TEST(MetricsTest, TextFormatHasEveryFamilyWithTypeAndEscapedLabels) {
  Metrics m;
  m.runs_started.add(3);
  m.run_closed("done", 0.02);
  m.run_closed("refused", 0.02);  // not a closed state: not counted
  m.runs_in_flight.add(2);
  m.app_call_duration.observe("we\"ird\\app\n", 0.2);
  m.kv_store_errors.add();
  const std::string text = prometheus_text(m);
  for (const char* line : {
           "# TYPE vqflow_runs_started_total counter\n",
           "vqflow_runs_started_total 3\n",
           "vqflow_runs_closed_total{state=\"done\"} 1\n",
           "vqflow_runs_closed_total{state=\"interrupted\"} 0\n",
           "# TYPE vqflow_run_duration_seconds histogram\n",
           "vqflow_run_duration_seconds_bucket{le=\"0.025\"} 1\n",
           "vqflow_run_duration_seconds_bucket{le=\"+Inf\"} 1\n",
           "vqflow_run_duration_seconds_count 1\n",
           "vqflow_app_call_duration_seconds_bucket{app=\"we\\\"ird\\\\app\\n\",le=\"0.25\"} 1\n",
           "vqflow_app_call_duration_seconds_count{app=\"we\\\"ird\\\\app\\n\"} 1\n",
           "vqflow_store_errors_total{store=\"kv\"} 1\n",
           "vqflow_store_errors_total{store=\"db\"} 0\n",
           "vqflow_timers_fired_total 0\n",
           "# TYPE vqflow_runs_in_flight gauge\n",
           "vqflow_runs_in_flight 2\n",
       }) {
    EXPECT_THAT(text, HasSubstr(line));
  }
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace
}  // namespace vqflow
