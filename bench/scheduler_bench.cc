// Scheduler costs: adding a job among 10,000, and how late 1,000 interval jobs
// that come due in the same second actually run, with the CPU each fire takes.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <string>
#include <vector>

#include "platform/scheduler.h"

namespace vqflow {
namespace {

using namespace std::chrono_literals;

const date::time_zone* utc() { return date::locate_zone("UTC"); }

JobFunction noop() {
  return [](const std::vector<Value>&, JobDone done) { done(); };
}

double process_cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::shared_ptr<GeventScheduler> with_jobs(int count) {
  SchedulerOptions options;
  options.zone = utc();
  auto s = GeventScheduler::create({}, options);
  for (int i = 0; i < count; ++i) {
    // Spread over a day so that the queue holds distinct times.
    s->add_job(noop(), "interval", Value{{"seconds", 60 + i % 86400}}, "job-" + std::to_string(i),
               {"playbook-" + std::to_string(i)});
  }
  s->start();
  return s;
}

// Registering (and removing again) one interval job while 10,000 are registered.
void BM_AddIntervalJobAmong10k(benchmark::State& state) {
  auto s = with_jobs(10'000);
  for (auto _ : state) {
    s->add_job(noop(), "interval", Value{{"minutes", 5}}, "extra", {"pb"});
    s->remove_job("extra");
  }
  state.SetLabel("add + remove");
}
BENCHMARK(BM_AddIntervalJobAmong10k);

void BM_AddCronJobAmong10k(benchmark::State& state) {
  auto s = with_jobs(10'000);
  for (auto _ : state) {
    s->add_job(noop(),
               CronTrigger::from_crontab("*/5 9-17 * * mon-fri", nullptr, nullptr, 0, utc()),
               "extra", {"pb"});
    s->remove_job("extra");
  }
  state.SetLabel("parse + add + remove");
}
BENCHMARK(BM_AddCronJobAmong10k);

void BM_ListJobs10k(benchmark::State& state) {
  auto s = with_jobs(10'000);
  for (auto _ : state) benchmark::DoNotOptimize(s->get_jobs());
}
BENCHMARK(BM_ListJobs10k);

void BM_CronNextFireTime(benchmark::State& state) {
  auto expression = CronExpression::from_crontab("*/5 9-17 * * mon-fri");
  const auto* zone = date::locate_zone("Europe/Berlin");
  TimePoint at = system_now();
  for (auto _ : state) {
    auto next = expression.next_at_or_after(at, zone);
    at = *next + 1us;
  }
}
BENCHMARK(BM_CronNextFireTime);

// 1,000 interval jobs of one second on a real loop (with 9,000 idle jobs
// registered beside them), all on the same grid: lateness of each fire behind
// its fire time, and process CPU per fire.
void BM_FiringLateness1000(benchmark::State& state) {
  for (auto _ : state) {
    boost::asio::io_context ioc;
    SchedulerOptions options;
    options.zone = utc();
    options.max_instances = 1;
    auto s = GeventScheduler::create(ioc.get_executor(), options);
    for (int i = 0; i < 9'000; ++i) {
      s->add_job(noop(), "interval", Value{{"hours", 1 + i % 24}}, "idle-" + std::to_string(i), {});
    }
    const TimePoint first = date::ceil<std::chrono::seconds>(system_now()) + 1s;
    const std::string start = format_local_time(first, utc());
    std::vector<double> lateness_ms;
    lateness_ms.reserve(4'000);
    for (int i = 0; i < 1'000; ++i) {
      s->add_job(
          [&, first](const std::vector<Value>&, JobDone done) {
            auto late = system_now() - first;
            late -= date::floor<std::chrono::seconds>(late);  // behind the latest whole second
            lateness_ms.push_back(std::chrono::duration<double, std::milli>(late).count());
            done();
          },
          "interval", Value{{"seconds", 1}, {"start_date", start}}, "due-" + std::to_string(i), {});
    }
    s->start();
    // Run until three rounds are done: the rounds due at first, first+1 s, first+2 s.
    const auto stop_at = std::chrono::system_clock::time_point(first.time_since_epoch()) + 2500ms;
    ioc.run_until(stop_at);
    double cpu_before = process_cpu_seconds();
    // Measure CPU of the loop for the fires only: re-run one more round alone.
    std::size_t fires_before = lateness_ms.size();
    ioc.restart();
    ioc.run_until(stop_at + 1000ms);
    double cpu = process_cpu_seconds() - cpu_before;
    std::size_t fires_measured = lateness_ms.size() - fires_before;
    s->shutdown();

    std::sort(lateness_ms.begin(), lateness_ms.end());
    auto pct = [&](double p) {
      if (lateness_ms.empty()) return -1.0;
      return lateness_ms[std::min(lateness_ms.size() - 1,
                                  static_cast<std::size_t>(p * lateness_ms.size()))];
    };
    state.counters["fires"] = static_cast<double>(lateness_ms.size());
    state.counters["late_median_ms"] = pct(0.5);
    state.counters["late_p99_ms"] = pct(0.99);
    state.counters["late_max_ms"] = lateness_ms.empty() ? -1.0 : lateness_ms.back();
    state.counters["cpu_us_per_fire"] =
        fires_measured == 0 ? -1.0 : cpu * 1e6 / static_cast<double>(fires_measured);
  }
}
BENCHMARK(BM_FiringLateness1000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// With 10,000 jobs none of which is due, the loop sleeps: CPU over one second.
void BM_IdleLoop10k(benchmark::State& state) {
  for (auto _ : state) {
    boost::asio::io_context ioc;
    SchedulerOptions options;
    options.zone = utc();
    auto s = GeventScheduler::create(ioc.get_executor(), options);
    for (int i = 0; i < 10'000; ++i) {
      s->add_job(noop(), "interval", Value{{"hours", 1 + i % 24}}, "idle-" + std::to_string(i), {});
    }
    s->start();
    double cpu_before = process_cpu_seconds();
    ioc.run_for(1s);
    state.counters["idle_cpu_ms_per_s"] = (process_cpu_seconds() - cpu_before) * 1e3;
    s->shutdown();
  }
}
BENCHMARK(BM_IdleLoop10k)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vqflow
