#include "base/metrics.h"

#include <fmt/format.h>

#include <algorithm>

namespace vqflow {

void Histogram::observe(double seconds) {
  const auto* bound = std::lower_bound(k_bounds.begin(), k_bounds.end(), seconds);
  buckets_[static_cast<std::size_t>(bound - k_bounds.begin())].fetch_add(1,
                                                                         std::memory_order_relaxed);
  sum_.fetch_add(seconds, std::memory_order_relaxed);
  count_.fetch_add(1, std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const {
  Snapshot out;
  std::uint64_t running = 0;
  for (std::size_t i = 0; i < k_bounds.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    out.cumulative[i] = running;
  }
  running += buckets_[k_bounds.size()].load(std::memory_order_relaxed);
  // Read after the buckets: +Inf must not fall below the last bucket.
  out.count = std::max(running, count_.load(std::memory_order_relaxed));
  out.sum = sum_.load(std::memory_order_relaxed);
  return out;
}

void LabeledHistograms::observe(const std::string& label, double seconds) {
  Histogram* histogram = nullptr;
  {
    std::lock_guard lock(mutex_);
    auto found = by_label_.find(label);
    if (found == by_label_.end()) {
      // "other" itself does not count against the cap.
      const std::size_t named = by_label_.size() - (by_label_.count("other") ? 1 : 0);
      const std::string& key = named < max_labels_ ? label : std::string("other");
      found = by_label_.find(key);
      if (found == by_label_.end()) {
        found = by_label_.emplace(key, std::make_unique<Histogram>()).first;
      }
    }
    histogram = found->second.get();
  }
  // Histograms are never removed: the pointer stays valid.
  histogram->observe(seconds);
}

std::map<std::string, Histogram::Snapshot> LabeledHistograms::snapshot() const {
  std::lock_guard lock(mutex_);
  std::map<std::string, Histogram::Snapshot> out;
  for (const auto& [label, histogram] : by_label_) out[label] = histogram->snapshot();
  return out;
}

void Metrics::run_closed(std::string_view state, double seconds) {
  auto found = std::find(k_closed_states.begin(), k_closed_states.end(), state);
  if (found == k_closed_states.end()) return;
  runs_closed[static_cast<std::size_t>(found - k_closed_states.begin())].add();
  run_duration.observe(seconds);
}

std::string prometheus_label(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

namespace {

void family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

// The sample lines of one histogram; `labels` is "" or `key="value",`.
void histogram_lines(std::string& out, std::string_view name, const std::string& labels,
                     const Histogram::Snapshot& h) {
  for (std::size_t i = 0; i < Histogram::k_bounds.size(); ++i) {
    out += fmt::format("{}_bucket{{{}le=\"{}\"}} {}\n", name, labels, Histogram::k_bounds[i],
                       h.cumulative[i]);
  }
  out += fmt::format("{}_bucket{{{}le=\"+Inf\"}} {}\n", name, labels, h.count);
  const std::string plain = labels.empty() ? "" : "{" + labels.substr(0, labels.size() - 1) + "}";
  out += fmt::format("{}_sum{} {}\n", name, plain, h.sum);
  out += fmt::format("{}_count{} {}\n", name, plain, h.count);
}

}  // namespace

std::string prometheus_text(const Metrics& m) {
  std::string out;
  family(out, "vqflow_runs_started_total", "counter", "Runs that started.");
  out += fmt::format("vqflow_runs_started_total {}\n", m.runs_started.value());
  family(out, "vqflow_runs_closed_total", "counter", "Runs that ended, by how they ended.");
  for (std::size_t i = 0; i < Metrics::k_closed_states.size(); ++i) {
    out += fmt::format("vqflow_runs_closed_total{{state=\"{}\"}} {}\n", Metrics::k_closed_states[i],
                       m.runs_closed[i].value());
  }
  family(out, "vqflow_run_duration_seconds", "histogram", "Time from start to close of a run.");
  histogram_lines(out, "vqflow_run_duration_seconds", "", m.run_duration.snapshot());
  family(out, "vqflow_app_call_duration_seconds", "histogram",
         "Time one app call took, by app (at most 200 apps; the rest count as \"other\").");
  for (const auto& [app, h] : m.app_call_duration.snapshot()) {
    histogram_lines(out, "vqflow_app_call_duration_seconds",
                    "app=\"" + prometheus_label(app) + "\",", h);
  }
  family(out, "vqflow_records_written_total", "counter",
         "Execution logs, reports and audits stored.");
  out += fmt::format("vqflow_records_written_total {}\n", m.records_written.value());
  family(out, "vqflow_store_errors_total", "counter", "Failed store operations, by store.");
  out += fmt::format("vqflow_store_errors_total{{store=\"kv\"}} {}\n", m.kv_store_errors.value());
  out += fmt::format("vqflow_store_errors_total{{store=\"db\"}} {}\n", m.db_store_errors.value());
  family(out, "vqflow_timers_fired_total", "counter", "Timer fires that started a run.");
  out += fmt::format("vqflow_timers_fired_total {}\n", m.timers_fired.value());
  family(out, "vqflow_runs_in_flight", "gauge", "Runs started and not yet closed.");
  out += fmt::format("vqflow_runs_in_flight {}\n", m.runs_in_flight.value());
  return out;
}

}  // namespace vqflow
