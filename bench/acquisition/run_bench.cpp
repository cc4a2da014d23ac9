// A whole run against the simulated board on a pseudo-terminal, paced at 57,600 baud, with
// the graph drawn offscreen at 1280 x 720 as the window would: does the tick keep time?
//
//   build/bin/bench_run [--interval 5] [--seconds 60] [--channels 5] [--autorange]
//   build/bin/bench_run --find-shortest [--seconds 60]     tries 5, 4, 3, 2 ms
//
// Prints the count of "Timing overrun!" ticks and the distribution of the jitter (measured
// period minus the interval) in ms.
#include <QApplication>
#include <QLocale>
#include <QProcess>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/timer/precisiontimer.h"
#include "bench/stats.h"
#include "board/portmap.h"
#include "common/automationerror.h"

namespace {

constexpr int16_t kPort = 201;

struct Outcome {
  std::size_t samples = 0;
  int overruns = 0;
  std::vector<int> jitters;
  int replots = 0;
  std::vector<double> tickUs;    // from the tick's start to its sample being recorded
  std::vector<double> replotUs;  // what each replot cost
};

Outcome runOnce(int intervalMs, int seconds, int channels, bool autorange) {
  zrvlog::GraphModel graph;
  zrvlog::WidgetDialogs dialogs;
  zrvlog::GraphView view(graph, dialogs);
  view.resize(1280, 720);
  view.show();
  zrvlog::ZrvioLink link;
  link.setCommPort(kPort);
  zrvlog::PrecisionTimer timer;
  zrvlog::AcquisitionEngine engine(graph, link, timer);
  view.setTickDeadlineSource([&] { return timer.nextDeadline(); });
  engine.applyStartUpDefaults();
  engine.SetTimerInt(intervalMs);
  engine.settings.ChanLimit = static_cast<int16_t>(channels);
  engine.setAutorange(autorange);

  Outcome outcome;
  int seenReplots = view.replotCount();
  QObject::connect(&engine, &zrvlog::AcquisitionEngine::sampleRecorded,
                   [&](const zrvlog::SampleReport& report) {
                     outcome.overruns += report.overrun ? 1 : 0;
                     using us = std::chrono::duration<double, std::micro>;
                     if (view.replotCount() != seenReplots) {
                       seenReplots = view.replotCount();
                       outcome.replotUs.push_back(us(view.lastReplotCost()).count());
                     }
                   });
  QObject::connect(&engine, &zrvlog::AcquisitionEngine::runEnded,
                   [](zrvlog::RunEnd why, const QString& m) {
                     if (why == zrvlog::RunEnd::Failed)
                       std::fprintf(stderr, "the run failed: %s\n", qPrintable(m));
                   });
  QEventLoop loop;
  QObject::connect(&engine, &zrvlog::AcquisitionEngine::runningChanged, [&](bool running) {
    if (!running) loop.quit();
  });
  QTimer::singleShot(seconds * 1000, &engine, [&] {
    if (engine.running()) engine.stopRun();
  });
  try {
    engine.startRun();
  } catch (const zrv::AutomationError& e) {
    std::fprintf(stderr, "cannot start: %s\n", qPrintable(e.message()));
    return outcome;
  }
  loop.exec();
  outcome.samples = engine.data.sampleCount();
  for (std::size_t i = 1; i <= outcome.samples; ++i)
    outcome.jitters.push_back(engine.data.Jitters.item(i).toLong());
  outcome.replots = view.replotCount();
  return outcome;
}

void report(int intervalMs, const Outcome& o) {
  std::vector<int> abs;
  for (int j : o.jitters)
    abs.push_back(std::abs(j));
  std::sort(abs.begin(), abs.end());
  const auto pct = [&](double p) {
    return abs.empty() ? 0 : abs[std::min(abs.size() - 1, std::size_t(p / 100 * abs.size()))];
  };
  const int worst = abs.empty() ? 0 : abs.back();
  std::printf(
      "interval %d ms: %zu samples, %d overruns, |jitter| ms median %d, p99 %d, p99.9 %d, max %d, "
      "replots %d\n",
      intervalMs, o.samples, o.overruns, pct(50), pct(99), pct(99.9), worst, o.replots);
  std::printf(
      "  tick handler us: median %.0f, p99 %.0f, max %.0f; replot us: median %.0f, p99 %.0f, max "
      "%.0f\n",
      zrvbench::percentile(o.tickUs, 50), zrvbench::percentile(o.tickUs, 99),
      zrvbench::percentile(o.tickUs, 100), zrvbench::percentile(o.replotUs, 50),
      zrvbench::percentile(o.replotUs, 99), zrvbench::percentile(o.replotUs, 100));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QLocale::setDefault(QLocale::c());
  int interval = 5, seconds = 60, channels = 5;
  bool autorange = false, findShortest = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--interval" && i + 1 < argc)
      interval = std::atoi(argv[++i]);
    else if (a == "--seconds" && i + 1 < argc)
      seconds = std::atoi(argv[++i]);
    else if (a == "--channels" && i + 1 < argc)
      channels = std::atoi(argv[++i]);
    else if (a == "--autorange")
      autorange = true;
    else if (a == "--find-shortest")
      findShortest = true;
  }

  QProcess sim;
  sim.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/zrvsim"));
  sim.setArguments({QStringLiteral("--pace")});
  sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  sim.start();
  if (!sim.waitForStarted(5000) || !sim.waitForReadyRead(5000)) {
    std::fprintf(stderr, "zrvsim did not start\n");
    return 1;
  }
  const QString device = QString::fromLocal8Bit(sim.readLine()).trimmed();
  zrv::portmap::overrideForProcess(kPort, device);
  std::printf("zrvsim paced at 57,600 baud on %s; %d channels, %d s per run%s\n",
              qPrintable(device), channels, seconds, autorange ? ", autorange" : "");

  if (findShortest) {
    int shortest = 0;
    for (int ms : {5, 4, 3, 2}) {
      const Outcome o = runOnce(ms, seconds, channels, autorange);
      report(ms, o);
      if (o.overruns == 0 && o.samples > 0)
        shortest = ms;
      else
        break;
    }
    if (shortest > 0)
      std::printf("shortest interval without overruns: %d ms\n", shortest);
    else
      std::printf("no interval from 5 ms down ran without overruns\n");
  } else {
    report(interval, runOnce(interval, seconds, channels, autorange));
  }
  sim.terminate();
  sim.waitForFinished(3000);
  return 0;
}
