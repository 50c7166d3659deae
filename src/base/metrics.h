#pragma once
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vqflow {

// A count that only goes up. Lock-free; any thread.
class Counter {
 public:
  void add(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> value_{0};
};

// A value that goes up and down. Lock-free; any thread.
class Gauge {
 public:
  void add(std::int64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
  std::int64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::int64_t> value_{0};
};

// Observations counted into buckets with fixed upper bounds (seconds), plus
// their count and sum. Lock-free; any thread. A reader may see an observation
// in the count before it shows in the sum.
class Histogram {
 public:
  static constexpr std::array<double, 12> k_bounds = {0.005, 0.01, 0.025, 0.05, 0.1, 0.25,
                                                      0.5,   1,    2.5,   5,    10,  60};

  void observe(double seconds);

  struct Snapshot {
    std::array<std::uint64_t, k_bounds.size()> cumulative{};  // at or below each bound
    std::uint64_t count = 0;
    double sum = 0;
  };
  Snapshot snapshot() const;

 private:
  std::array<std::atomic<std::uint64_t>, k_bounds.size() + 1> buckets_{};  // last: above all
  std::atomic<std::uint64_t> count_{0};
  std::atomic<double> sum_{0};
};

// One histogram per label value, for at most `max_labels` distinct values;
// observations under further values go to the one labelled "other", so that a
// flood of names cannot grow the registry without bound. Any thread.
class LabeledHistograms {
 public:
  explicit LabeledHistograms(std::size_t max_labels) : max_labels_(max_labels) {}
  void observe(const std::string& label, double seconds);
  // Label value -> snapshot, in label order.
  std::map<std::string, Histogram::Snapshot> snapshot() const;

 private:
  std::size_t max_labels_;
  mutable std::mutex mutex_;  // guards the map, not the histograms in it
  std::map<std::string, std::unique_ptr<Histogram>> by_label_;
};

// What the process counts about its runs, app calls, records, stores and
// timers. One object per serving process, held by its services and fed where
// the work happens; every member may be used from any thread.
struct Metrics {
  // How a run that started ended, in label order.
  static constexpr std::array<std::string_view, 6> k_closed_states = {
      "done", "failed", "aborted", "interrupted", "cancelled", "waiting"};
  static constexpr std::size_t k_max_apps = 200;

  Counter runs_started;
  std::array<Counter, k_closed_states.size()> runs_closed;
  Histogram run_duration;
  Gauge runs_in_flight;
  LabeledHistograms app_call_duration{k_max_apps};
  Counter records_written;
  Counter kv_store_errors;
  Counter db_store_errors;
  Counter timers_fired;

  // Counts a started run as closed in `state`; a state outside
  // k_closed_states is not counted.
  void run_closed(std::string_view state, double seconds);
};

// The metrics in the Prometheus text exposition format, version 0.0.4.
std::string prometheus_text(const Metrics& metrics);

// `value` as a Prometheus label value: backslash, double quote and line feed escaped.
std::string prometheus_label(std::string_view value);

}  // namespace vqflow
