#include "commandline.h"

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/dialogs/dialogs.h"
#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "app/recovery/journalrecovery.h"
#include "app/recovery/runjournal.h"
#include "app/settings/storedsettings.h"
#include "app/timer/manualtimer.h"
#include "app/timer/precisiontimer.h"
#include "board/portmap.h"
#include "common/automationerror.h"

namespace zrvlog {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage:\n"
    "  zrvlog --headless [options] --zrv FILE and/or --csv FILE\n"
    "  zrvlog --convert IN.zrv [--csv FILE] [--bmp FILE] [--png FILE] [--pdf FILE]\n"
    "  zrvlog --recover [--zrv FILE] [--csv FILE]\n"
    "\n"
    "Recording without the window (--headless):\n"
    "  --port N|sim|DEVICE  the board: a COM number (through the port map), sim for the\n"
    "                       built-in simulated board, or a device such as /dev/ttyUSB0\n"
    "                       (default: the port the program last used)\n"
    "  --interval SECONDS   sample interval (default 1)\n"
    "  --stop SECONDS       stop time; without it the run goes on until Ctrl+C\n"
    "  --channels N         channels 0 to N-1 are read, N = 1 to 5 (default 5)\n"
    "  --average N          conversions averaged per channel and sample (default 1)\n"
    "  --reference REF      A/D reference: vdd (Vdd, Vss), ch3 (Ch3, Vss) or ch3-ch2\n"
    "                       (Ch3, Ch2); default vdd\n"
    "  --raw                record raw counts (0-1023) instead of 0-5 V\n"
    "  --zrv FILE           write the data file (open it in ZRVLOG later)\n"
    "  --csv FILE           write the samples as comma-separated text\n"
    "  --quiet              no progress lines\n"
    "Progress goes to standard error once a second; Ctrl+C or SIGTERM ends the run and\n"
    "keeps every sample taken.\n"
    "\n"
    "Converting a data file (--convert IN.zrv):\n"
    "  --csv FILE           the samples as comma-separated text\n"
    "  --bmp FILE, --png FILE, --pdf FILE   the graph as a picture\n"
    "  --size WxH           picture size in pixels (default 1024x768)\n"
    "\n"
    "Recovering a recording that was not saved (--recover):\n"
    "  Every run is journalled as it goes (~/.local/share/ZRVLOG/recovery). Without files,\n"
    "  --recover lists the recordings left by a program that ended without saving; with\n"
    "  --zrv and/or --csv it writes the newest of them there and then removes it.\n"
    "\n"
    "Exit status: 0 done; 1 the board, the run or a file failed (what was recorded is still\n"
    "written); 2 wrong options.\n";

void say(const QString& text) {
  std::fprintf(stderr, "zrvlog: %s\n", qPrintable(text));
  std::fflush(stderr);
}

void report(const QString& text) {
  std::fprintf(stdout, "%s\n", qPrintable(text));
  std::fflush(stdout);
}

int usageError(const QString& problem) {
  say(problem);
  std::fprintf(stderr, "Try 'zrvlog --headless --help'.\n");
  return kExitUsage;
}

// Parses the command line; an exit status when the program ends here (the help was shown,
// or the options are wrong), nothing when it goes on.
std::optional<int> parseOrStop(QCommandLineParser& p, const QStringList& args) {
  if (!p.parse(args)) return usageError(p.errorText());
  if (p.isSet(QStringLiteral("help"))) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  if (!p.positionalArguments().isEmpty())
    return usageError(QStringLiteral("unexpected argument '%1'").arg(p.positionalArguments()[0]));
  return std::nullopt;
}

bool hasArgument(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return true;
  return false;
}

// A folder that a file can be created in, or why not.
std::optional<QString> unwritableFolder(const QString& path) {
  const QFileInfo folder(QFileInfo(path).absolutePath());
  if (!folder.exists())
    return QStringLiteral("the folder %1 does not exist").arg(folder.filePath());
  if (!folder.isDir()) return QStringLiteral("%1 is not a folder").arg(folder.filePath());
  if (!folder.isWritable())
    return QStringLiteral("the folder %1 is not writable").arg(folder.filePath());
  return std::nullopt;
}

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

// ---- Recording ----------------------------------------------------------------------------

struct RecordOptions {
  QString port;
  int32_t intervalMs = 1000;
  QString stop;
  int16_t channels = 5;
  int16_t average = 1;
  int16_t reference = 0;
  bool raw = false;
  bool quiet = false;
  QString zrvPath, csvPath;
};

// An engine that never samples, for reading, converting and recovering data files.
struct FileEngine {
  FileEngine() {
    engine.applyStartUpDefaults();
    engine.InitGraph();
  }
  GraphModel graph;
  ZrvioLink link;  // never opened
  ManualTimer timer;
  AcquisitionEngine engine{graph, link, timer};
};

// Tells how writing one file went; returns false when it could not be written.
bool reportWritten(const QString& path, const SaveResult& r, qulonglong samples) {
  if (!r.ok) {
    say(r.error);
    return false;
  }
  report(QStringLiteral("wrote %1 (%2 samples)").arg(path).arg(samples));
  if (!r.rowsError.isEmpty()) say(r.rowsError);
  return true;
}

// Writes what was recorded; returns false when a file could not be written.
bool writeOutputs(const RecordOptions& o, AcquisitionEngine& engine) {
  bool ok = true;
  const auto samples = qulonglong(engine.data.sampleCount());
  if (!o.zrvPath.isEmpty() && !reportWritten(o.zrvPath, saveDataFile(o.zrvPath, engine), samples)) {
    ok = false;
    // The samples exist nowhere else: keep them where a file can still be written.
    const QString rescue = QDir::temp().filePath(
        QStringLiteral("zrvlog-rescued-%1.zrv").arg(QCoreApplication::applicationPid()));
    if (saveDataFile(rescue, engine).ok)
      report(QStringLiteral("wrote %1 instead (%2 samples)").arg(rescue).arg(samples));
  }
  if (!o.csvPath.isEmpty())
    ok &= reportWritten(o.csvPath, exportCsv(o.csvPath, engine.data, engine.graph()), samples);
  return ok;
}

int record(const RecordOptions& o) {
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
  QObject::connect(&engine, &AcquisitionEngine::tickFailed, &loop,
                   [&](const QString& message) { failure = message; });
  QObject::connect(&engine, &AcquisitionEngine::statusChanged, &loop,
                   [&](StatusPanel panel, const QString& text) {
                     if (panel == StatusPanel::Status && text == QLatin1String("Timing overrun!"))
                       ++overruns;
                   });
  const auto progress = [&] {
    say(QStringLiteral("%1 samples, %2 s, %3 overruns")
            .arg(qulonglong(engine.data.sampleCount()))
            .arg(elapsed.elapsed() / 1000.0, 0, 'f', 1)
            .arg(overruns));
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
  const bool written = writeOutputs(o, engine);
  if (written) {
    journal.discard();
  } else if (journal.active()) {
    journal.flush();
    say(QStringLiteral("the samples stay in the recovery journal: zrvlog --recover --zrv FILE"));
  }
  return written && failure.isEmpty() ? kExitOk : kExitFailed;
}

// ---- Recovering -------------------------------------------------------------------------

int recover(const QStringList& args) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption recoverOption(QStringLiteral("recover")), help(QStringLiteral("help")),
      zrv(QStringLiteral("zrv"), {}, QStringLiteral("file")),
      csv(QStringLiteral("csv"), {}, QStringLiteral("file"));
  p.addOptions({recoverOption, help, zrv, csv});
  if (const auto status = parseOrStop(p, args)) return *status;
  RecordOptions o;
  o.zrvPath = p.value(zrv);
  o.csvPath = p.value(csv);
  for (const QString& path : {o.zrvPath, o.csvPath}) {
    if (path.isEmpty()) continue;
    if (const auto problem = unwritableFolder(path))
      return usageError(QStringLiteral("cannot write %1: %2").arg(path, *problem));
  }

  const QList<JournalInfo> journals = abandonedJournals(RunJournal::defaultFolder());
  if (journals.isEmpty()) {
    report(QStringLiteral("no unsaved recordings to recover"));
    return kExitOk;
  }
  if (o.zrvPath.isEmpty() && o.csvPath.isEmpty()) {
    for (const JournalInfo& j : journals)
      report(QStringLiteral("%1 (%2)").arg(describeJournal(j), j.base));
    report(QStringLiteral("zrvlog --recover --zrv FILE writes the newest of them to FILE"));
    return kExitOk;
  }
  const JournalInfo& newest = journals.front();
  FileEngine files;
  AcquisitionEngine& engine = files.engine;
  const LoadResult r = recoverJournal(newest, engine);
  if (!r.ok()) say(r.error);
  if (engine.data.sampleCount() == 0) return kExitFailed;
  report(QStringLiteral("recovered %1").arg(describeJournal(newest)));
  if (!writeOutputs(o, engine)) return kExitFailed;
  removeJournal(newest.base);
  return kExitOk;
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

// ---- Converting ---------------------------------------------------------------------------

int convert(const QStringList& args) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption in(QStringLiteral("convert"), {}, QStringLiteral("file")),
      help(QStringLiteral("help")), csv(QStringLiteral("csv"), {}, QStringLiteral("file")),
      bmp(QStringLiteral("bmp"), {}, QStringLiteral("file")),
      png(QStringLiteral("png"), {}, QStringLiteral("file")),
      pdf(QStringLiteral("pdf"), {}, QStringLiteral("file")),
      size(QStringLiteral("size"), {}, QStringLiteral("wxh"));
  p.addOptions({in, help, csv, bmp, png, pdf, size});
  if (const auto status = parseOrStop(p, args)) return *status;
  if (!p.isSet(csv) && !p.isSet(bmp) && !p.isSet(png) && !p.isSet(pdf))
    return usageError(QStringLiteral("say what to make: --csv, --bmp, --png and/or --pdf FILE"));
  QSize pictureSize(1024, 768);
  if (p.isSet(size)) {
    const QStringList wh = p.value(size).split(QLatin1Char('x'));
    bool okW = false, okH = false;
    const int w = wh.value(0).toInt(&okW), h = wh.size() == 2 ? wh[1].toInt(&okH) : 0;
    if (!okW || !okH || w < 16 || h < 16 || w > 10000 || h > 10000)
      return usageError(
          QStringLiteral("--size takes WIDTHxHEIGHT in pixels, not '%1'").arg(p.value(size)));
    pictureSize = QSize(w, h);
  }

  FileEngine files;
  AcquisitionEngine& engine = files.engine;
  const QString input = p.value(in);
  const LoadResult loaded = loadDataFile(input, engine);
  if (!loaded.ok()) {
    say(loaded.status == LoadResult::Status::IncorrectFormat
            ? QStringLiteral("%1: %2").arg(input, loaded.error)
            : loaded.error);
    return kExitFailed;
  }
  bool ok = true;
  if (p.isSet(csv)) {
    const QString path = p.value(csv);
    ok = reportWritten(path, exportCsv(path, engine.data, files.graph),
                       qulonglong(engine.data.sampleCount()));
  }
  if (p.isSet(bmp) || p.isSet(png) || p.isSet(pdf)) {
    WidgetDialogs dialogs;
    GraphView view(files.graph, dialogs);
    view.resize(pictureSize);
    const struct {
      const QCommandLineOption& option;
      void (GraphView::*save)(const QString&);
    } pictures[] = {
        {bmp, &GraphView::saveBitmap}, {png, &GraphView::savePng}, {pdf, &GraphView::savePdf}};
    for (const auto& picture : pictures) {
      if (!p.isSet(picture.option)) continue;
      try {
        (view.*picture.save)(p.value(picture.option));
        report(QStringLiteral("wrote %1").arg(p.value(picture.option)));
      } catch (const zrv::AutomationError& e) {
        ok = false;
        say(e.message());
      }
    }
  }
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

bool isCommandLineMode(int argc, char** argv) {
  return hasArgument(argc, argv, "--headless") || hasArgument(argc, argv, "--convert") ||
         hasArgument(argc, argv, "--recover");
}

int runCommandLine(int argc, char** argv) {
  const bool converting = hasArgument(argc, argv, "--convert");
  const bool pictures =
      converting && (hasArgument(argc, argv, "--bmp") || hasArgument(argc, argv, "--png") ||
                     hasArgument(argc, argv, "--pdf"));
  // Only pictures need a GUI application, and they draw offscreen when there is no display.
  std::unique_ptr<QCoreApplication> app;
  if (pictures) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
    app = std::make_unique<QApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QCoreApplication::setOrganizationName(QStringLiteral("ZRVLOG"));
  QCoreApplication::setApplicationName(QStringLiteral("ZRVLOG"));
  const QStringList args = QCoreApplication::arguments();
  if (hasArgument(argc, argv, "--recover")) {
    if (converting || hasArgument(argc, argv, "--headless"))
      return usageError(QStringLiteral("--recover goes on its own"));
    return recover(args);
  }
  if (converting) {
    if (hasArgument(argc, argv, "--headless"))
      return usageError(QStringLiteral("--headless and --convert do not go together"));
    return convert(args);
  }
  RecordOptions options;
  if (const int status = parseRecordOptions(args, options); status >= 0) return status;
  return record(options);
}

}  // namespace zrvlog
