// Route enumeration and reference expansion costs (for information), and how
// late 1,000 interval jobs due in the same second fire.
#include <fmt/format.h>

#include <cstdio>

#include "flow/vq_tree.h"
#include "macro.h"
#include "run/auto.h"
#include "scheduler/scheduler.h"
#include "stores/kv_store.h"

namespace vqflow::bench {

namespace {

using namespace std::chrono_literals;

// Node ids shaped like the editor's (36-character uuids).
std::string node_id(int n) {
  char text[37];
  std::snprintf(text, sizeof text, "%08x-0000-4000-8000-%012x", n, n * 7919);
  return text;
}

Value chain(int nodes) {
  Value d = Value::array();
  for (int i = 1; i < nodes; ++i) d.push_back(Value::array({node_id(i - 1), node_id(i)}));
  return d;
}

// d0 -> (d0a | d0b) -> d1 -> ... : 2^count routes.
Value diamonds(int count) {
  Value d = Value::array();
  for (int i = 0; i < count; ++i) {
    const std::string from = node_id(3 * i), a = node_id(3 * i + 1), b = node_id(3 * i + 2),
                      to = node_id(3 * i + 3);
    d.push_back(Value::array({from, a}));
    d.push_back(Value::array({from, b}));
    d.push_back(Value::array({a, to}));
    d.push_back(Value::array({b, to}));
  }
  return d;
}

// µs per call of `f`, repeated for about `seconds` after one warm-up call.
template <typename F>
double per_call_us(F f, double seconds) {
  f();
  long n = 0;
  const double start = now_seconds();
  double elapsed = 0;
  do {
    f();
    ++n;
    elapsed = now_seconds() - start;
  } while (elapsed < seconds);
  return elapsed * 1e6 / static_cast<double>(n);
}

}  // namespace

void paths_section(Report& report, const Options& options) {
  const std::string section = "5 paths and references";
  const double seconds = options.quick ? 0.3 : 1;
  const VqTree tree;
  {
    const Value d = chain(1000);
    std::size_t routes = 0;
    const double us =
        per_call_us([&] { routes = tree.get_paths(d, node_id(0), node_id(999)).size(); }, seconds);
    report.add(info(section, "route enumeration, 1,000-node chain", us, "us"));
    if (routes != 1) report.note(section, fmt::format("chain gave {} routes, expected 1", routes));
  }
  {
    const Value d = diamonds(13);
    std::size_t routes = 0;
    const double us =
        per_call_us([&] { routes = tree.get_paths(d, node_id(0), node_id(39)).size(); }, seconds);
    report.add(info(section, "route enumeration, 13 diamonds (8,192 routes)", us, "us"));
    if (routes != 8192)
      report.note(section, fmt::format("diamonds gave {} routes, expected 8192", routes));
  }
  {
    auto services = std::make_shared<Services>();
    services->kv = open_kv_store("memory://", std::nullopt);
    Auto engine(services, nullptr);
    engine.global_var_data = Value{{"host", "10.0.0.1"}, {"port", "8443"}};
    engine.local_var_data = Value{{"user", "admin"}, {"token", std::string(64, 't')}};
    // An earlier node's result, held by the run as a run holds its state.
    engine.stage_kv(engine.run_key("p-r-e-v-1", "result"),
                    R"({"data": [{"name": "alpha", "tags": ["a", "b"]}, {"name": "beta"}]})");
    const std::string text =
        "https://@{host}:@{port}/api @[user]:@[token] @(p-r-e-v-1.result!>data!>0!>name) "
        "@(p-r-e-v-1.result!>data!>1!>name) @(p-r-e-v-1.result!>data!>0!>tags!>-1) "
        "@(p-r-e-v-1.result) @{host} @[user]";
    Expansion e;
    const double us = per_call_us([&] { e = engine.analysis_var(text); }, seconds);
    report.add(info(section, "reference expansion, 10 references", us, "us"));
    if (e.status != 0) report.note(section, "reference expansion failed: " + e.text);
  }
}

void scheduler_section(Report& report, const Options& options) {
  const std::string section = "6 scheduler (1,000 jobs due at once)";
  (void)options;  // the measurement is three rounds of one second either way
  boost::asio::io_context ioc;
  SchedulerOptions scheduler_options;
  scheduler_options.zone = date::locate_zone("UTC");
  scheduler_options.max_instances = 1;
  auto s = GeventScheduler::create(ioc.get_executor(), scheduler_options);
  for (int i = 0; i < 9'000; ++i) {
    s->add_job([](const std::vector<Value>&, JobDone done) { done(); }, "interval",
               Value{{"hours", 1 + i % 24}}, "idle-" + std::to_string(i), {});
  }
  const TimePoint first = date::ceil<std::chrono::seconds>(now_of(*real_clock())) + 1s;
  const std::string start = format_local_time(first, scheduler_options.zone);
  std::vector<double> lateness_ms;
  lateness_ms.reserve(4'000);
  for (int i = 0; i < 1'000; ++i) {
    s->add_job(
        [&lateness_ms, first](const std::vector<Value>&, JobDone done) {
          auto late = now_of(*real_clock()) - first;
          late -= date::floor<std::chrono::seconds>(late);  // behind the latest whole second
          lateness_ms.push_back(std::chrono::duration<double, std::milli>(late).count());
          done();
        },
        "interval", Value{{"seconds", 1}, {"start_date", start}}, "due-" + std::to_string(i), {});
  }
  s->start();
  // Two rounds (first, first + 1 s), then a third one alone for the CPU figure.
  const auto stop_at = std::chrono::system_clock::time_point(first.time_since_epoch()) + 1500ms;
  ioc.run_until(stop_at);
  const double cpu_before = thread_cpu_seconds();
  const std::size_t fires_before = lateness_ms.size();
  ioc.restart();
  ioc.run_until(stop_at + 1000ms);
  const double cpu = thread_cpu_seconds() - cpu_before;
  const std::size_t fires_measured = lateness_ms.size() - fires_before;
  s->shutdown();

  report.add(judged(section, "median lateness", percentile(lateness_ms, 0.5), "ms", std::nullopt,
                    "", Bound::value_at_most, 5));
  report.add(judged(section, "p99 lateness", percentile(lateness_ms, 0.99), "ms", std::nullopt, "",
                    Bound::value_at_most, 10));
  Figure cpu_row = judged(section, "CPU per fire (loop thread)",
                          fires_measured ? cpu * 1e6 / static_cast<double>(fires_measured) : 0,
                          "us", std::nullopt, "", Bound::value_at_most, 10);
  if (fires_measured == 0) cpu_row.failure = "no job fired in the measured round";
  report.add(cpu_row);
  report.note(section,
              fmt::format("{} fires over three rounds beside 9,000 idle jobs; CPU over the "
                          "third round ({} fires)",
                          lateness_ms.size(), fires_measured));
}

}  // namespace vqflow::bench
