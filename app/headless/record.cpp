// The headless recorder: the engine of the window, a precision timer, the recovery journal,
// progress on standard error, and the files written when the run ends.
#include <fcntl.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <cmath>
#include <csignal>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/graph/graphmodel.h"
#include "app/headless/cli.h"
#include "app/recovery/runjournal.h"
#include "app/settings/storedsettings.h"
#include "app/timer/precisiontimer.h"
#include "board/portmap.h"
#include "common/automationerror.h"

namespace zrvlog::cli {

namespace {

// ---- Signals ----------------------------------------------------------------------------

int g_signalPipe[2] = {-1, -1};

void onStopSignal(int) {
  const char c = 1;
  // Nothing else is safe in a handler; the event loop reads the byte.
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

bool catchStopSignals() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0;
}

struct RecordOptions : OutputFiles {
  QString port;
  int32_t intervalMs = 1000;
  QString stop;
  int16_t channels = 5;
  int16_t average = 1;
  int16_t reference = 0;
  bool raw = false;
  bool quiet = false;
};

int recordRun(const RecordOptions& o) {
  StoredSettings stored;
  int16_t port = stored.comPort();
  if (o.port == QLatin1String("sim")) {
    zrv::portmap::overrideForProcess(port, QStringLiteral("sim"));
  } else if (o.port.startsWith(QLatin1Char('/'))) {
    zrv::portmap::overrideForProcess(port, o.port);
  } else if (!o.port.isEmpty()) {
    port = static_cast<int16_t>(o.port.toInt());
  }

  GraphModel graph;
  ZrvioLink link;
  PrecisionTimer timer;
  AcquisitionEngine engine(graph, link, timer);
  engine.applyStartUpDefaults();
  // A kill, a crash or a power cut during the run leaves the samples here for --recover.
  RunJournal journal(engine);
  QObject::connect(&journal, &RunJournal::failed, [](const QString& message) {
    say(QStringLiteral("the recovery journal stopped: %1").arg(message));
  });
  try {
    link.setCommPort(port);
    engine.SetTimerInt(o.intervalMs);
  } catch (const zrv::AutomationError& e) {
    return usageError(e.message());
  }
  if (o.raw) engine.quickset(Quickset::RawCounts);
  engine.settings.stopsec = o.stop.isEmpty() ? zrv::Variant() : zrv::Variant(o.stop);
  engine.settings.ChanLimit = o.channels;
  engine.settings.AvgCt = o.average;
  engine.settings.RefSel = o.reference;

  if (!catchStopSignals())
    say(QStringLiteral("Ctrl+C cannot be caught: %1").arg(qt_error_string()));
  QEventLoop loop;
  bool stopRequested = false;
  QString failure;
  int overruns = 0;
  QElapsedTimer elapsed;
  QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &loop, [&] {
    char buf[16];
    while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
    }
    stopRequested = true;
    if (engine.running()) engine.stopRun();
    loop.quit();
  });
  QObject::connect(&engine, &AcquisitionEngine::runningChanged, &loop, [&](bool running) {
    if (!running) loop.quit();
  });
  QObject::connect(&engine, &AcquisitionEngine::runEnded, &loop,
                   [&](RunEnd why, const QString& message) {
                     if (why == RunEnd::Failed) failure = message;
                   });
  QObject::connect(&engine, &AcquisitionEngine::sampleRecorded, &loop,
                   [&](const SampleReport& report) { overruns += report.overrun ? 1 : 0; });
  const auto progress = [&] {
    QString line = QStringLiteral("%1 samples, %2 s, %3 overruns")
                       .arg(qulonglong(engine.data.sampleCount()))
                       .arg(elapsed.elapsed() / 1000.0, 0, 'f', 1)
                       .arg(overruns);
    if (engine.missedTicks() > 0)
      line += QStringLiteral(", %1 missed ticks").arg(engine.missedTicks());
    say(line);
  };
  QTimer progressTimer;
  QObject::connect(&progressTimer, &QTimer::timeout, &loop, progress);

  say(QStringLiteral("recording from %1 every %2 ms%3; Ctrl+C ends the run")
          .arg(link.portDescription())
          .arg(o.intervalMs)
          .arg(o.stop.isEmpty() ? QString() : QStringLiteral(" until %1 s").arg(o.stop)));
  try {
    engine.startRun();
  } catch (const zrv::AutomationError& e) {
    say(QStringLiteral("the run could not start: %1").arg(e.message()));
    return kExitFailed;
  }
  elapsed.start();
  if (!o.quiet) progressTimer.start(1000);
  // A signal that came during the start is waiting in the pipe and ends the run at once.
  if (engine.running()) loop.exec();
  progressTimer.stop();
  if (engine.running()) engine.stopRun();
  if (!o.quiet) progress();
  if (stopRequested) say(QStringLiteral("stopped on request"));
  if (!failure.isEmpty()) say(QStringLiteral("the run stopped: %1").arg(failure));
  if (engine.missedTicks() > 0)
    say(QStringLiteral("%1 ticks could not read the board and have no sample; the time stamps "
                       "show the gaps")
            .arg(engine.missedTicks()));
  const bool written = writeOutputs(o, engine);
  if (written) {
    journal.discard();
  } else if (journal.active()) {
    journal.flush();
    say(QStringLiteral("the samples stay in the recovery journal: zrvlog --recover --zrv FILE"));
  }
  return written && failure.isEmpty() ? kExitOk : kExitFailed;
}

int parseRecordOptions(const QStringList& args, RecordOptions& o) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption headless(QStringLiteral("headless")), help(QStringLiteral("help")),
      port(QStringLiteral("port"), {}, QStringLiteral("port")),
      interval(QStringLiteral("interval"), {}, QStringLiteral("s")),
      stop(QStringLiteral("stop"), {}, QStringLiteral("s")),
      channels(QStringLiteral("channels"), {}, QStringLiteral("n")),
      average(QStringLiteral("average"), {}, QStringLiteral("n")),
      reference(QStringLiteral("reference"), {}, QStringLiteral("ref")), raw(QStringLiteral("raw")),
      quiet(QStringLiteral("quiet")), zrv(QStringLiteral("zrv"), {}, QStringLiteral("file")),
      csv(QStringLiteral("csv"), {}, QStringLiteral("file"));
  p.addOptions(
      {headless, help, port, interval, stop, channels, average, reference, raw, quiet, zrv, csv});
  if (const auto status = parseOrStop(p, args)) return *status;

  o.port = p.value(port).trimmed();
  if (!o.port.isEmpty() && o.port != QLatin1String("sim") && !o.port.startsWith(QLatin1Char('/'))) {
    bool ok = false;
    const int n = o.port.toInt(&ok);
    if (!ok || n < 1 || n > 255)
      return usageError(QStringLiteral("--port takes a COM number (1-255), sim or a device path, "
                                       "not '%1'")
                            .arg(o.port));
  }
  if (p.isSet(interval)) {
    bool ok = false;
    const double s = p.value(interval).toDouble(&ok);
    const double ms = s * 1000.0;
    if (!ok || !(ms >= 0.5) || ms > 2147483647.0)
      return usageError(QStringLiteral("--interval takes seconds of at least 0.001, not '%1'")
                            .arg(p.value(interval)));
    o.intervalMs = static_cast<int32_t>(std::llround(ms));
  }
  if (p.isSet(stop)) {
    bool ok = false;
    const double s = p.value(stop).toDouble(&ok);
    if (!ok || s < 0)
      return usageError(
          QStringLiteral("--stop takes a number of seconds, not '%1'").arg(p.value(stop)));
    o.stop = p.value(stop).trimmed();
  }
  const auto whole = [&](const QCommandLineOption& option, int lo, int hi, int16_t& out,
                         const char* what) -> bool {
    if (!p.isSet(option)) return true;
    bool ok = false;
    const int n = p.value(option).toInt(&ok);
    if (!ok || n < lo || n > hi) {
      usageError(QStringLiteral("--%1 takes %2 from %3 to %4, not '%5'")
                     .arg(option.names()[0], QLatin1String(what))
                     .arg(lo)
                     .arg(hi)
                     .arg(p.value(option)));
      return false;
    }
    out = static_cast<int16_t>(n);
    return true;
  };
  if (!whole(channels, 1, 5, o.channels, "a channel count")) return kExitUsage;
  if (!whole(average, 1, 255, o.average, "a count")) return kExitUsage;
  if (p.isSet(reference)) {
    const QString r = p.value(reference).toLower();
    if (r == QLatin1String("vdd") || r == QLatin1String("0"))
      o.reference = 0;
    else if (r == QLatin1String("ch3") || r == QLatin1String("1"))
      o.reference = 1;
    else if (r == QLatin1String("ch3-ch2") || r == QLatin1String("8"))
      o.reference = 8;
    else
      return usageError(QStringLiteral("--reference takes vdd, ch3 or ch3-ch2, not '%1'")
                            .arg(p.value(reference)));
  }
  o.raw = p.isSet(raw);
  o.quiet = p.isSet(quiet);
  o.zrvPath = p.value(zrv);
  o.csvPath = p.value(csv);
  if (o.zrvPath.isEmpty() && o.csvPath.isEmpty())
    return usageError(QStringLiteral("say where the samples go: --zrv FILE and/or --csv FILE"));
  for (const QString& path : {o.zrvPath, o.csvPath}) {
    if (path.isEmpty()) continue;
    if (const auto problem = unwritableFolder(path))
      return usageError(QStringLiteral("cannot write %1: %2").arg(path, *problem));
  }
  return -1;
}

}  // namespace

int record(const QStringList& args) {
  RecordOptions options;
  if (const int status = parseRecordOptions(args, options); status >= 0) return status;
  return recordRun(options);
}

}  // namespace zrvlog::cli
