// Whole runs against the simulated board on a pseudo-terminal, paced at 57,600 baud, with the
// graph drawn offscreen at 1280 x 720 as the window would: does the run keep time?
//
//   build/bin/bench_run [--intervals 3,4,5,10] [--seconds 20] [--channels 5] [--autorange]
//                       [--reference [--rounds N]] [--publish mqtt://HOST[:PORT]/TOPIC]
//   build/bin/bench_run --latency
//
// For each interval it runs the program's engine and prints its overrun share (the ticks it
// flagged "Timing overrun!") and the distribution of |measured period - interval| in us.
// Beside the reference it also prints what proving the replies (the quiet wait after each
// tick's last reply) adds to the program's reading: the framing's cost on a clean line.
// With --reference it also runs, right after each program run and against a zrvsim of its
// own, a bare sampler: one thread on an absolute clock_nanosleep grid doing the same a2d
// round trips, no GUI, no engine; the two lines side by side tell what the program costs on
// this machine in this state. Both ask for real-time priority (ZRVLOG_REALTIME=0: neither).
// With --rounds N each interval runs N such pairs, taking turns at going first, and also
// judges the pooled shares: at 3 ms the line is nearly full and one pair of runs swings with
// whatever else the machine does, so a verdict on one pair is mostly one on the neighbours.
//
// --publish also publishes every sample of the program's runs to that broker, as the window
// does (the outbox in a temporary folder), and says how many the broker took.
//
// --latency measures how late the window's event loop serves an event while the board never
// answers, and while the board spends 10 s on a count: the acquisition thread waits on the
// board, the window must not.
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLocale>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/outputs/livepublish.h"
#include "app/timer/precisiontimer.h"
#include "app/timer/realtime.h"
#include "bench/stats.h"
#include "board/portmap.h"
#include "common/automationerror.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int16_t kProgramPort = 201;
constexpr int16_t kReferencePort = 202;
constexpr int16_t kSilentPort = 203;
constexpr double kTolerance = 0.25;  // the program's default, 25 % of the interval

struct Outcome {
  std::size_t samples = 0;
  std::size_t flagged = 0;          // overruns as the program itself flagged them
  std::vector<double> deviationUs;  // |period - interval| of each sample after the first
  std::vector<double> readingUs;    // how long reading the channels took
  std::vector<double> replotUs;     // what each replot cost (the program only)
  bool realTime = false;
  int64_t missed = -1;  // ticks without a sample, as the program counted them
};

// An overrun as the program counts it: the period in whole milliseconds off by more than
// the tolerance.
bool overrun(double periodUs, int intervalMs) {
  return std::fabs(std::round(periodUs / 1000.0) - intervalMs) > kTolerance * intervalMs;
}

std::size_t overruns(const std::vector<double>& periodsUs, int intervalMs) {
  return std::size_t(std::count_if(periodsUs.begin(), periodsUs.end(),
                                   [&](double p) { return overrun(p, intervalMs); }));
}

// ---- The program ------------------------------------------------------------------------

// The broker of --publish; empty: no publishing.
QString g_publishUrl;

Outcome runProgram(int intervalMs, int seconds, int channels, bool autorange) {
  zrvlog::GraphModel graph;
  zrvlog::WidgetDialogs dialogs;
  zrvlog::GraphView view(graph, dialogs);
  view.resize(1280, 720);
  view.show();
  zrvlog::ZrvioLink link;
  link.setCommPort(kProgramPort);
  zrvlog::PrecisionTimer timer;
  zrvlog::AcquisitionEngine engine(graph, link, timer);
  // As the window does: drawing keeps out of the way of the board's reading.
  view.setTickDeadlineSource([&] { return timer.nextDeadline(); });
  engine.applyStartUpDefaults();
  engine.SetTimerInt(intervalMs);
  engine.settings.ChanLimit = static_cast<int16_t>(channels);
  engine.setAutorange(autorange);

  Outcome outcome;
  std::vector<double> periods;
  Clock::time_point previous{};
  int seenReplots = view.replotCount();
  QObject::connect(
      &engine, &zrvlog::AcquisitionEngine::sampleRecorded, [&](const zrvlog::SampleReport& report) {
        outcome.flagged += report.overrun && report.samples > 1 ? 1 : 0;
        if (previous != Clock::time_point{})
          periods.push_back(
              std::chrono::duration<double, std::micro>(report.started - previous).count());
        previous = report.started;
        outcome.readingUs.push_back(
            std::chrono::duration<double, std::micro>(report.reading).count());
        if (view.replotCount() != seenReplots) {
          seenReplots = view.replotCount();
          outcome.replotUs.push_back(
              std::chrono::duration<double, std::micro>(view.lastReplotCost()).count());
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
  QTemporaryDir outbox;
  std::unique_ptr<zrvlog::LivePublisher> publisher;
  if (!g_publishUrl.isEmpty()) {
    QString why;
    auto options = zrvlog::publisherOptions(g_publishUrl, {}, &why);
    if (!options) {
      std::fprintf(stderr, "--publish: %s\n", qPrintable(why));
      return outcome;
    }
    options->outbox = outbox.filePath(QStringLiteral("outbox")).toStdString();
    publisher = std::make_unique<zrvlog::LivePublisher>(engine, *options);
    if (const auto problem = publisher->start()) {
      std::fprintf(stderr, "--publish: %s\n", qPrintable(*problem));
      return outcome;
    }
    if (publisher->waitFirstAnswer(std::chrono::seconds(3)) != zrvlog::publish::Link::Connected)
      std::fprintf(stderr, "--publish: the broker does not answer yet\n");
  }
  try {
    engine.startRun();
  } catch (const zrv::AutomationError& e) {
    std::fprintf(stderr, "cannot start: %s\n", qPrintable(e.message()));
    return outcome;
  }
  loop.exec();
  engine.reclaimLink();
  if (publisher) {
    publisher->finish(std::chrono::seconds(10));
    std::printf("  %2d ms: published %llu of %zu samples to %s (%llu still waiting)\n", intervalMs,
                static_cast<unsigned long long>(publisher->publisher().delivered()),
                engine.document().sampleCount(), qPrintable(g_publishUrl),
                static_cast<unsigned long long>(publisher->publisher().waiting()));
  }
  outcome.realTime = engine.realTimePriority();
  outcome.samples = engine.document().sampleCount();
  outcome.missed = engine.missedTicks();
  for (double p : periods)
    outcome.deviationUs.push_back(std::fabs(p - intervalMs * 1000.0));
  return outcome;
}

// ---- The bare reference sampler ---------------------------------------------------------

timespec toTimespec(Clock::time_point t) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
  return timespec{time_t(ns.count() / 1'000'000'000), long(ns.count() % 1'000'000'000)};
}

Outcome runReference(int intervalMs, int seconds, int channels) {
  zrvlog::ZrvioLink link;
  link.setCommPort(kReferencePort);
  Outcome outcome;
  try {
    link.setPortopen(true);
    link.resetall();
    link.a2dconf(true, true, 0);
  } catch (const zrv::AutomationError& e) {
    std::fprintf(stderr, "reference cannot start: %s\n", qPrintable(e.message()));
    return outcome;
  }
  std::vector<double> periods;
  outcome.missed = 0;
  std::thread sampler([&] {
    outcome.realTime = zrvlog::requestRealTimePriority();
    const auto interval = std::chrono::milliseconds(intervalMs);
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    Clock::time_point next = Clock::now() + interval, previous{};
    while (next < end) {
      const timespec ts = toTimespec(next);
      while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
      }
      const auto started = Clock::now();
      if (previous != Clock::time_point{})
        periods.push_back(std::chrono::duration<double, std::micro>(started - previous).count());
      previous = started;
      for (int c = 0; c < channels; ++c)
        link.a2d(c);
      outcome.readingUs.push_back(
          std::chrono::duration<double, std::micro>(Clock::now() - started).count());
      ++outcome.samples;
      // The program's catch-up rule: deadlines at most 10 ms old are still served.
      next += interval;
      for (; next < Clock::now() - 10ms; next += interval)
        ++outcome.missed;
    }
  });
  sampler.join();
  link.setPortopen(false);
  for (double p : periods)
    outcome.deviationUs.push_back(std::fabs(p - intervalMs * 1000.0));
  outcome.flagged = overruns(periods, intervalMs);
  return outcome;
}

void printLine(const char* who, int intervalMs, const Outcome& o) {
  const auto& d = o.deviationUs;
  const double share = d.empty() ? 0 : 100.0 * double(o.flagged) / double(d.size());
  std::printf(
      "  %-9s %2d ms: %6zu samples, overruns %5zu = %6.2f%%; |period - interval| us: median %5.0f"
      ", p99 %6.0f, p99.9 %6.0f, max %6.0f; reading us: median %5.0f, p99 %6.0f%s\n",
      who, intervalMs, o.samples, o.flagged, share, zrvbench::percentile(d, 50),
      zrvbench::percentile(d, 99), zrvbench::percentile(d, 99.9), zrvbench::percentile(d, 100),
      zrvbench::percentile(o.readingUs, 50), zrvbench::percentile(o.readingUs, 99),
      o.realTime ? "  (real-time)" : "");
  // A tick without a sample makes the next period twice the interval: an overrun.
  if (o.missed >= 0)
    std::printf("  %-9s        %lld missed ticks\n", "", static_cast<long long>(o.missed));
  if (!o.replotUs.empty())
    std::printf("  %-9s        %zu replots, us: median %.0f, p99 %.0f\n", "", o.replotUs.size(),
                zrvbench::percentile(o.replotUs, 50), zrvbench::percentile(o.replotUs, 99));
  std::fflush(stdout);
}

double share(const Outcome& o) {
  return o.deviationUs.empty() ? 0 : 100.0 * double(o.flagged) / double(o.deviationUs.size());
}

// Overruns and periods summed over the rounds of one interval.
struct Pool {
  std::size_t flagged = 0, periods = 0;
  void add(const Outcome& o) {
    flagged += o.flagged;
    periods += o.deviationUs.size();
  }
  double share() const { return periods == 0 ? 0 : 100.0 * double(flagged) / double(periods); }
};

double limitFor(double bare) {
  return std::max(1.5 * bare, bare + 0.5);
}

void printVerdict(int intervalMs, const char* what, double program, double bare) {
  const double limit = limitFor(bare);
  std::printf(
      "  %2d ms: %sprogram %.2f%% against a limit of %.2f%% (1.5 x reference, or +0.5 "
      "points): %s\n",
      intervalMs, what, program, limit, program <= limit ? "within" : "OVER");
  std::fflush(stdout);
}

// ---- Event-loop latency ----------------------------------------------------------------

// A board control that, on its first reading, keeps the board busy with a 10 s count first,
// as a board busy with a long command would.
class BusyFirst : public zrvlog::ZrvioLink {
 public:
  int32_t a2d(int32_t pin) override {
    if (!m_counted) {
      m_counted = true;
      zrvio().count(0, 10000);
    }
    return ZrvioLink::a2d(pin);
  }

 private:
  bool m_counted = false;
};

// How late the event loop serves an event posted every 2 ms by another thread, over span.
std::vector<double> eventLoopLateness(std::chrono::milliseconds span) {
  std::vector<double> lateMs;
  std::atomic<bool> stop{false};
  QObject receiver;
  std::thread poster([&] {
    while (!stop) {
      const auto posted = Clock::now();
      QMetaObject::invokeMethod(&receiver, [&lateMs, posted] {
        lateMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - posted).count());
      });
      std::this_thread::sleep_for(2ms);
    }
  });
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < span.count())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  stop = true;
  poster.join();
  QCoreApplication::processEvents();
  return lateMs;
}

void latencyScenario(const char* name, zrvlog::BoardControl& board, int16_t port,
                     std::chrono::milliseconds span) {
  zrvlog::GraphModel graph;
  zrvlog::WidgetDialogs dialogs;
  zrvlog::GraphView view(graph, dialogs);
  view.resize(1280, 720);
  view.show();
  zrvlog::PrecisionTimer timer;
  zrvlog::AcquisitionEngine engine(graph, board, timer);
  engine.applyStartUpDefaults();
  engine.SetTimerInt(10);
  board.setCommPort(port);
  QElapsedTimer startClock;
  startClock.start();
  try {
    engine.startRun();
  } catch (const zrv::AutomationError& e) {
    std::fprintf(stderr, "%s: cannot start: %s\n", name, qPrintable(e.message()));
    return;
  }
  const double startMs = double(startClock.elapsed());
  const std::vector<double> late = eventLoopLateness(span);
  const bool stillRunning = engine.running();
  if (engine.running()) engine.stopRun();
  engine.reclaimLink();
  std::printf(
      "  %-34s event loop lateness ms over %lld s: median %.2f, p99 %.2f, max %.2f (%zu events);"
      " start took %.0f ms; %s, %lld missed ticks\n",
      name, static_cast<long long>(span.count() / 1000), zrvbench::percentile(late, 50),
      zrvbench::percentile(late, 99), zrvbench::percentile(late, 100), late.size(), startMs,
      stillRunning ? "still running" : "the run ended",
      static_cast<long long>(engine.missedTicks()));
  std::fflush(stdout);
}

int latency() {
  std::printf("event-loop latency while the acquisition thread waits on the board:\n");
  // A board that never answers: a pseudo-terminal nobody serves.
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::perror("posix_openpt");
    return 1;
  }
  zrv::portmap::overrideForProcess(kSilentPort, QString::fromLocal8Bit(ptsname(master)));
  {
    zrvlog::ZrvioLink silent;
    latencyScenario("a board that never answers", silent, kSilentPort, 5s);
  }
  ::close(master);
  {
    BusyFirst busy;
    latencyScenario("a board busy with a 10 s count", busy, kProgramPort, 10s);
  }
  return 0;
}

std::unique_ptr<QProcess> startSim(int16_t port) {
  auto sim = std::make_unique<QProcess>();
  sim->setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/zrvsim"));
  sim->setArguments({QStringLiteral("--pace")});
  sim->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  sim->start();
  if (!sim->waitForStarted(5000) || !sim->waitForReadyRead(5000)) {
    std::fprintf(stderr, "zrvsim did not start\n");
    return nullptr;
  }
  const QString device = QString::fromLocal8Bit(sim->readLine()).trimmed();
  zrv::portmap::overrideForProcess(port, device);
  return sim;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QLocale::setDefault(QLocale::c());
  std::vector<int> intervals{3, 4, 5, 10};
  int seconds = 20, channels = 5, rounds = 1;
  bool autorange = false, reference = false, latencyOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--intervals" || a == "--interval") && i + 1 < argc) {
      intervals.clear();
      for (const QString& ms : QString::fromLocal8Bit(argv[++i]).split(QLatin1Char(',')))
        intervals.push_back(ms.toInt());
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atoi(argv[++i]);
    } else if (a == "--channels" && i + 1 < argc) {
      channels = std::atoi(argv[++i]);
    } else if (a == "--autorange") {
      autorange = true;
    } else if (a == "--reference") {
      reference = true;
    } else if (a == "--rounds" && i + 1 < argc) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--publish" && i + 1 < argc) {
      g_publishUrl = QString::fromLocal8Bit(argv[++i]);
    } else if (a == "--latency") {
      latencyOnly = true;
    } else {
      std::fprintf(stderr, "bench_run: unknown option %s (see the file's head)\n", argv[i]);
      return 2;
    }
  }

  const auto programSim = startSim(kProgramPort);
  if (!programSim) return 1;
  const auto stopSims = [](const std::unique_ptr<QProcess>& sim) {
    if (!sim) return;
    sim->terminate();
    sim->waitForFinished(3000);
  };
  if (latencyOnly) {
    const int status = latency();
    stopSims(programSim);
    return status;
  }
  const auto referenceSim = reference ? startSim(kReferencePort) : nullptr;
  if (reference && !referenceSim) return 1;
  std::printf("zrvsim paced at 57,600 baud; %d channels, %d s per run%s%s%s%s\n", channels, seconds,
              autorange ? ", autorange" : "", reference ? ", each beside the bare reference" : "",
              g_publishUrl.isEmpty() ? "" : ", publishing to ", qPrintable(g_publishUrl));
  for (int ms : intervals) {
    Pool programPool, barePool;
    // The noise the verdict stands on: each reference run judged against the one before.
    std::vector<double> bareShares;
    int programOver = 0;
    for (int round = 0; round < (reference ? rounds : 1); ++round) {
      // Whichever runs first after a pause meets a colder machine: the pairs take turns.
      const bool bareFirst = reference && round % 2 == 1;
      Outcome bare;
      if (bareFirst) bare = runReference(ms, seconds, channels);
      const Outcome program = runProgram(ms, seconds, channels, autorange);
      printLine("program", ms, program);
      if (!reference) continue;
      if (!bareFirst) bare = runReference(ms, seconds, channels);
      printLine("reference", ms, bare);
      programPool.add(program);
      barePool.add(bare);
      bareShares.push_back(share(bare));
      programOver += share(program) > limitFor(share(bare)) ? 1 : 0;
      // The program proves each tick's replies (the line stays quiet a few byte times after
      // the last); the bare sampler takes them as they come.
      std::printf(
          "  %2d ms: framing: reading median %.0f us against %.0f us bare (+%.0f us)\n", ms,
          zrvbench::percentile(program.readingUs, 50), zrvbench::percentile(bare.readingUs, 50),
          zrvbench::percentile(program.readingUs, 50) - zrvbench::percentile(bare.readingUs, 50));
      printVerdict(ms, "", share(program), share(bare));
    }
    if (rounds > 1 && reference) {
      printVerdict(ms, QStringLiteral("pooled over %1 rounds: ").arg(rounds).toUtf8().constData(),
                   programPool.share(), barePool.share());
      int over = 0;
      for (std::size_t i = 1; i < bareShares.size(); ++i)
        over += bareShares[i] > limitFor(bareShares[i - 1]) ? 1 : 0;
      std::printf(
          "  %2d ms: rounds OVER: the program in %d of %d; the reference against its own run "
          "before in %d of %zu\n",
          ms, programOver, rounds, over, bareShares.size() - 1);
    }
  }
  stopSims(programSim);
  stopSims(referenceSim);
  return 0;
}
