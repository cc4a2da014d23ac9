// The sampling timer with the UI thread idle: 2,000 ticks at 10 ms and at 1 ms (or the
// intervals given).
//   bench_timer [interval-ms ...]
// For each interval: |measured - interval| in ms and the true lateness of the tick handler
// behind its deadline in microseconds (median, p99, max), dropped ticks, and the time the
// 2,000 ticks took against 2,000 intervals (drift).
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/timer/precisiontimer.h"
#include "bench/stats.h"

using namespace zrvlog;
using Clock = SamplingTimer::Clock;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::vector<int> intervals;
  for (int i = 1; i < argc; ++i)
    intervals.push_back(std::atoi(argv[i]));
  if (intervals.empty()) intervals = {10, 1};
  const int kTicks = 2000;

  for (int interval : intervals) {
    PrecisionTimer timer;
    timer.setInterval(interval);
    std::vector<double> deviation, lateness, wake;
    Clock::time_point last;
    QObject::connect(&timer, &SamplingTimer::tick, [&](int32_t ms) {
      const auto info = timer.lastTick();
      deviation.push_back(std::abs(ms - interval));
      lateness.push_back(
          std::chrono::duration<double, std::micro>(info.started - info.deadline).count());
      wake.push_back(std::chrono::duration<double, std::micro>(info.woke - info.deadline).count());
      if (int(lateness.size()) == kTicks) {
        last = info.started;
        timer.setEnabled(false);
        QCoreApplication::quit();
      }
    });
    const auto enabled = Clock::now();
    timer.setEnabled(true);
    QCoreApplication::exec();
    const double took = std::chrono::duration<double, std::milli>(last - enabled).count();
    std::printf("timer at %d ms, %d ticks, UI thread idle\n", interval, kTicks);
    std::printf("  |measured - interval| ms: median %.0f, p99 %.0f, max %.0f\n",
                zrvbench::percentile(deviation, 50), zrvbench::percentile(deviation, 99),
                zrvbench::percentile(deviation, 100));
    std::printf("  lateness of the handler us: median %.1f, p99 %.1f, max %.1f\n",
                zrvbench::percentile(lateness, 50), zrvbench::percentile(lateness, 99),
                zrvbench::percentile(lateness, 100));
    std::printf("  timer thread's wake-up vs deadline us: median %.1f, p99 %.1f, max %.1f\n",
                zrvbench::percentile(wake, 50), zrvbench::percentile(wake, 99),
                zrvbench::percentile(wake, 100));
    std::printf("  dropped deadlines: %lld\n", static_cast<long long>(timer.droppedTicks()));
    std::printf("  %d ticks took %.3f ms for %d ms of intervals (drift %+.3f ms)\n", kTicks, took,
                kTicks * interval, took - kTicks * interval);
  }
  return 0;
}
