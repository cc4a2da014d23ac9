// The headless recorder: the engine of the window, a precision timer, the recovery journal,
// progress on standard error, the live CSV on standard output, and the files written when
// the run ends.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/acquisition/engine.h"
#include "app/acquisition/zrviolink.h"
#include "app/appinfo/appinfo.h"
#include "app/documents/datafile.h"
#include "app/documents/numbertext.h"
#include "app/graph/graphmodel.h"
#include "app/headless/cli.h"
#include "app/outputs/livepublish.h"
#include "app/publish/publish.h"
#include "app/recovery/privatefiles.h"
#include "app/recovery/runjournal.h"
#include "app/safewrite/safewrite.h"
#include "app/settings/storedsettings.h"
#include "app/store/samplestore.h"
#include "app/timer/precisiontimer.h"
#include "board/portmap.h"
#include "common/automationerror.h"
#include "common/counted.h"

namespace zrvlog::cli {

namespace {

// ---- Signals ----------------------------------------------------------------------------

int g_signalPipe[2] = {-1, -1};

void onStopSignal(int signal) {
  const char c = char(signal);
  // Nothing else is safe in a handler; the event loop reads the byte.
  [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

// Ctrl+C, SIGTERM and SIGHUP (the terminal or the remote session closed) end the run
// cleanly, with every file written.
bool catchStopSignals() {
  if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  return sigaction(SIGINT, &action, nullptr) == 0 && sigaction(SIGTERM, &action, nullptr) == 0 &&
         sigaction(SIGHUP, &action, nullptr) == 0;
}

QString signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return QStringLiteral("Ctrl+C");
    case SIGTERM:
      return QStringLiteral("SIGTERM");
    case SIGHUP:
      return QStringLiteral("SIGHUP: the terminal or the session closed");
    default:
      return QStringLiteral("signal %1").arg(signal);
  }
}

// ---- The live CSV ---------------------------------------------------------------------------

// The CSV on a stream (standard output, a FIFO, a device) while the run records: the
// export's header, then every sample's row as soon as it is taken, written as the export
// writes it. A tick never waits for the reader: rows it has not taken yet wait here and go
// out when the stream can take more.
class LiveCsv : public QObject {
 public:
  LiveCsv(const Document& document, int fd)
      : m_document(document), m_fd(fd), m_ready(fd, QSocketNotifier::Write) {
    m_pending = kCsvHeader;
    m_pending += "\r\n";
    m_ready.setEnabled(false);
    connect(&m_ready, &QSocketNotifier::activated, this, [this] { writeOut(); });
    connect(&document, &Document::samplesAppended, this, &LiveCsv::takeRows);
    writeOut();
  }
  std::function<void()> onReaderGone;
  /// Ended: its reader went away, or a write failed (failure() then says why).
  bool readerGone() const { return m_gone; }
  /// Why a write failed other than by the reader going away (a full disk, /dev/full).
  QString failure() const { return m_failure; }

  void takeRows() {
    const SampleStore& store = m_document.store();
    const std::size_t rows = store.rows();
    if (rows > m_rows) {
      appendSampleRows(m_pending, m_text, store, m_rows, rows, RowTexts::Spreadsheet);
      m_rows = rows;
    }
    writeOut();
  }
  /// Notices a reader that went away while no row was due (a long interval).
  void checkReader() {
    pollfd out{m_fd, POLLOUT, 0};
    if (::poll(&out, 1, 0) == 1 && (out.revents & (POLLERR | POLLHUP)) != 0) gone();
  }
  /// The rows not written yet, at the end of the run: waits for the reader while it reads,
  /// and gives up on another stop signal.
  void finish(int stopPipe) {
    takeRows();
    if (!m_gone && m_done < m_pending.size())
      say(QStringLiteral("waiting for the reader of standard output to take the last %1 bytes; "
                         "Ctrl+C stops waiting")
              .arg(qulonglong(m_pending.size() - m_done)));
    while (!m_gone && m_done < m_pending.size()) {
      pollfd fds[2] = {{m_fd, POLLOUT, 0}, {stopPipe, POLLIN, 0}};
      if (::poll(fds, stopPipe >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) return;
      if ((fds[1].revents & POLLIN) != 0) return;
      writeOut();
    }
  }

 private:
  void writeOut() {
    while (!m_gone && m_done < m_pending.size()) {
      pollfd out{m_fd, POLLOUT, 0};
      if (::poll(&out, 1, 0) < 0 && errno != EINTR) return gone();
      if ((out.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return gone();
      if ((out.revents & POLLOUT) == 0) break;
      // One pipe buffer at most: after POLLOUT that much goes without blocking.
      const std::size_t chunk = std::min<std::size_t>(m_pending.size() - m_done, PIPE_BUF);
      const ssize_t n = ::write(m_fd, m_pending.data() + m_done, chunk);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        // A reader that went away is the end of a pipe; anything else is a failed write.
        if (n == 0 || errno != EPIPE) m_failure = systemError(n == 0 ? ENOSPC : errno);
        return gone();
      }
      m_done += std::size_t(n);
    }
    if (m_done == m_pending.size()) {
      m_pending.clear();
      m_done = 0;
    }
    m_ready.setEnabled(!m_gone && !m_pending.empty());
  }
  void gone() {
    if (m_gone) return;
    m_gone = true;
    m_ready.setEnabled(false);
    if (onReaderGone) onReaderGone();
  }

  const Document& m_document;
  int m_fd;
  QSocketNotifier m_ready;
  QString m_failure;
  GeneralText m_text;
  std::string m_pending;
  std::size_t m_done = 0;  // bytes of m_pending written
  std::size_t m_rows = 0;  // rows formatted so far
  bool m_gone = false;
};

// ---- The run --------------------------------------------------------------------------------

struct RecordOptions {
  Outputs outputs;
  QString port;
  /// The run settings given; the others keep the engine's start-up defaults.
  SettingValues settings;
  bool raw = false;
  bool quiet = false;
  /// The broker the samples are published to, if any.
  std::optional<publish::PublisherOptions> publish;
  /// The CSV when it goes to a stream: written as the samples come.
  RequestedOutput* liveCsv() {
    for (RequestedOutput& o : outputs.list)
      if (o.format->canStream && o.target && o.target->target().stream()) return &o;
    return nullptr;
  }
};

int recordRun(RecordOptions& o) {
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
    o.settings.applyTo(engine);
  } catch (const zrv::AutomationError& e) {
    return usageError(e.message());
  }
  if (o.raw) engine.quickset(Quickset::RawCounts);
  // Without --stop the run goes on until it is stopped.
  if (!o.settings.find(SettingId::StopTime)) engine.settings.stopsec = zrv::Variant();
  const int32_t intervalMs = engine.GetTimerInt();
  const QString stop = engine.settings.stopsec.toText();

  if (!catchStopSignals())
    say(QStringLiteral("Ctrl+C cannot be caught: %1").arg(qt_error_string()));
  // A stream output whose reader stalls is waited for only until the next stop signal.
  setStopDescriptor(g_signalPipe[0]);
  QEventLoop loop;
  int stopSignal = 0;
  QString failure;
  int overruns = 0;
  QElapsedTimer elapsed;
  QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &loop, [&] {
    char buf[16];
    for (ssize_t n; (n = ::read(g_signalPipe[0], buf, sizeof buf)) > 0;)
      stopSignal = buf[n - 1];
    if (engine.running()) engine.stopRun();
    loop.quit();
  });
  std::unique_ptr<LiveCsv> live;
  RequestedOutput* const liveOutput = o.liveCsv();
  if (liveOutput) {
    QString why;
    const int fd = liveOutput->target->streamDescriptor(&why);
    if (fd < 0) {
      say(QStringLiteral("cannot write %1: %2").arg(outputName(liveOutput->path), why));
      return kExitFailed;
    }
    live = std::make_unique<LiveCsv>(engine.document(), fd);
    live->onReaderGone = [&] {
      if (engine.running()) engine.stopRun();
      loop.quit();
    };
  }
  QObject::connect(&engine, &AcquisitionEngine::runningChanged, &loop, [&](bool running) {
    if (!running) loop.quit();
  });
  QObject::connect(&engine, &AcquisitionEngine::runEnded, &loop,
                   [&](RunEnd why, const QString& message) {
                     if (why == RunEnd::Failed) failure = message;
                   });
  QString waiting;  // while the port is away: "Waiting for COM3 to come back (12 s)"
  QObject::connect(&engine, &AcquisitionEngine::sampleRecorded, &loop,
                   [&](const SampleReport& report) {
                     overruns += report.overrun ? 1 : 0;
                     waiting.clear();
                   });
  QObject::connect(&engine, &AcquisitionEngine::waitingForPort, &loop,
                   [&](const QString& status) { waiting = status; });
  // Progress while the run goes is dropped when standard error cannot take it at once; the
  // last line is said like any other.
  const auto progress = [&](bool last) {
    QString line = QStringLiteral("%1, %2 s, %3")
                       .arg(zrv::counted(engine.document().sampleCount(), QStringLiteral("sample")))
                       .arg(elapsed.elapsed() / 1000.0, 0, 'f', 1)
                       .arg(zrv::counted(overruns, QStringLiteral("overrun")));
    if (engine.missedTicks() > 0)
      line +=
          QStringLiteral(", ") + zrv::counted(engine.missedTicks(), QStringLiteral("missed tick"));
    if (!waiting.isEmpty() && engine.running()) line += QStringLiteral("; ") + waiting;
    last ? say(line) : sayProgress(line);
  };
  QTimer progressTimer;
  QObject::connect(&progressTimer, &QTimer::timeout, &loop, [&] {
    if (!o.quiet) progress(false);
    if (live) live->checkReader();
  });

  // The broker entry of the registry: its samples go out as they are recorded, through a
  // thread and an outbox of its own.
  std::unique_ptr<LivePublisher> publisher;
  if (o.publish) {
    publisher = std::make_unique<LivePublisher>(engine, *o.publish);
    const QString broker = publisher->broker();
    if (const auto why = publisher->start()) {
      say(QStringLiteral("cannot publish to %1: %2").arg(broker, *why));
      return kExitFailed;
    }
    if (const auto left = publisher->publisher().waiting(); left > 0)
      say(QStringLiteral("%1 samples of an earlier run wait for %2; they go first")
              .arg(qulonglong(left))
              .arg(broker));
    const publish::Link answer = publisher->waitFirstAnswer(std::chrono::seconds(3));
    const QString linkError = QString::fromStdString(publisher->publisher().linkError());
    if (answer == publish::Link::Refused) {
      say(QStringLiteral("the broker %1 refused: %2").arg(broker, linkError));
      publisher->finish(std::chrono::milliseconds(0));
      return kExitFailed;
    }
    if (answer != publish::Link::Connected)
      say(QStringLiteral("warning: the broker %1 cannot be reached (%2); the samples wait in "
                         "the outbox until it can")
              .arg(broker, linkError.isEmpty() ? QStringLiteral("no answer yet") : linkError));
  }
  // Said like progress: a standard error that nobody reads must not delay the start.
  sayProgress(QStringLiteral("recording from %1 every %2 ms%3; Ctrl+C ends the run")
                  .arg(link.portDescription())
                  .arg(intervalMs)
                  .arg(stop.isEmpty() ? QString() : QStringLiteral(" until %1 s").arg(stop)));
  try {
    engine.startRun();
  } catch (const zrv::AutomationError& e) {
    say(QStringLiteral("the run could not start: %1").arg(e.message()));
    return kExitFailed;
  }
  elapsed.start();
  if (!o.quiet || live) progressTimer.start(1000);
  // A signal that came during the start is waiting in the pipe and ends the run at once.
  if (engine.running() && !(live && live->readerGone())) loop.exec();
  progressTimer.stop();
  if (engine.running()) engine.stopRun();
  if (!o.quiet) progress(true);
  if (stopSignal != 0) say(QStringLiteral("stopped on request (%1)").arg(signalName(stopSignal)));
  const QString liveName = liveOutput ? outputName(liveOutput->path) : QString();
  if (live && live->readerGone())
    say(live->failure().isEmpty()
            ? QStringLiteral("the run stopped: %1 was closed (its reader went away)").arg(liveName)
            : QStringLiteral("the run stopped: cannot write %1: %2")
                  .arg(liveName, live->failure()));
  if (!failure.isEmpty()) say(QStringLiteral("the run stopped: %1").arg(failure));
  if (engine.missedTicks() > 0)
    say(QStringLiteral("%1 ticks could not read the board and have no sample; the time stamps "
                       "show the gaps")
            .arg(engine.missedTicks()));
  if (publisher) {
    // What the broker has not taken within this time waits in the outbox for the next start.
    publisher->finish(std::chrono::seconds(10));
    const publish::Publisher& done = publisher->publisher();
    const QString broker = publisher->broker();
    if (done.dropped() > 0)
      say(QStringLiteral("%1 samples for %2 were dropped: the outbox was full (the oldest go "
                         "first) or could not be written")
              .arg(qulonglong(done.dropped()))
              .arg(broker));
    if (const auto left = done.waiting(); left > 0)
      say(QStringLiteral("%1 samples wait in the outbox for %2; they go out at the next "
                         "--publish to it")
              .arg(qulonglong(left))
              .arg(broker));
    else
      report(QStringLiteral("published to %1/%2").arg(broker, publisher->topic()));
  }
  HeadlessSource source(engine.document(), o.outputs.picture);
  bool written = writeOutputs(o.outputs, source.source, liveOutput);
  // Last: a reader that takes its time (| less) holds up nothing but its own rows.
  bool readerGone = false;
  if (live) {
    const bool goneBefore = live->readerGone();
    live->finish(g_signalPipe[0]);
    readerGone = live->readerGone();
    if (readerGone && !goneBefore)
      say(live->failure().isEmpty()
              ? QStringLiteral("%1 was closed before its last rows (its reader went away)")
                    .arg(liveName)
              : QStringLiteral("cannot write %1: %2").arg(liveName, live->failure()));
    if (!live->failure().isEmpty()) written = false;
    if (!readerGone)
      report(QStringLiteral("wrote %1 (%2)")
                 .arg(liveName,
                      zrv::counted(engine.document().sampleCount(), QStringLiteral("sample"))));
  }
  // The journal goes only once every output is whole (a reader that went away took what it
  // wanted); otherwise it keeps the samples for --recover.
  if (written) {
    journal.discard();
  } else {
    // Only a journal that holds samples is worth pointing to: one that never started has none.
    const bool journalled = journal.holdsSamples();
    journal.keep();
    if (journalled)
      say(QStringLiteral("the samples stay in the recovery journal: zrvlog --recover --zrv FILE"));
  }
  if (!written || !failure.isEmpty()) return kExitFailed;
  return readerGone ? kExitReaderGone : kExitOk;
}

int parseRecordOptions(const QStringList& args, RecordOptions& o) {
  QCommandLineParser p;
  p.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
  const QCommandLineOption headless(QStringLiteral("headless")), help(QStringLiteral("help")),
      port(QStringLiteral("port"), {}, QStringLiteral("port")), raw(QStringLiteral("raw")),
      quiet(QStringLiteral("quiet")),
      publishCa(QStringLiteral("publish-ca"), {}, QStringLiteral("file")),
      publishOutbox(QStringLiteral("publish-outbox"), {}, QStringLiteral("mb"));
  p.addOptions({headless, help, port, raw, quiet, publishCa, publishOutbox});
  addSettingOptions(p);
  addOutputOptions(p);
  if (const auto status = parseOrStop(p, args)) return *status;

  o.port = p.value(port).trimmed();
  if (!o.port.isEmpty() && o.port != QLatin1String("sim") && !o.port.startsWith(QLatin1Char('/'))) {
    bool ok = false;
    const int n = o.port.toInt(&ok);
    if (!ok || n < 1 || n > 255)
      return usageError(QStringLiteral("--port takes a COM number from 1 to 255, sim or a "
                                       "device path, not '%1'")
                            .arg(o.port));
  }
  if (const auto status = takeSettings(p, o.settings)) return *status;
  o.raw = p.isSet(raw);
  o.quiet = p.isSet(quiet);
  if (const auto status = takeOutputs(p, {}, o.outputs, true)) return *status;
  if (const RequestedOutput* broker = o.outputs.find(publishFormat())) {
    QString why;
    const QString ca = p.isSet(publishCa) ? p.value(publishCa) : QString();
    std::optional<publish::PublisherOptions> options = publisherOptions(broker->path, ca, &why);
    if (!options) return usageError(QStringLiteral("--publish: %1").arg(why));
    if (p.isSet(publishOutbox)) {
      bool ok = false;
      const qulonglong mb = p.value(publishOutbox).toULongLong(&ok);
      if (!ok || mb < 1 || mb > 1048576)
        return usageError(
            QStringLiteral("--publish-outbox takes megabytes from 1 to 1048576, not '%1'")
                .arg(p.value(publishOutbox)));
      options->outboxLimit = std::uint64_t(mb) << 20;
    }
    o.publish = options;
  } else if (p.isSet(publishCa) || p.isSet(publishOutbox)) {
    return usageError(QStringLiteral("--publish-ca and --publish-outbox go with --publish"));
  }
  if (o.outputs.empty())
    return usageError(QStringLiteral(
        "say where the samples go: --zrv FILE and/or --csv FILE, and/or --publish URL"));
  return -1;
}

}  // namespace

int record(const QStringList& args) {
  RecordOptions options;
  if (const int status = parseRecordOptions(args, options); status >= 0) return status;
  return recordRun(options);
}

}  // namespace zrvlog::cli
