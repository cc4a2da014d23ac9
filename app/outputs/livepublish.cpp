#include "app/outputs/livepublish.h"

#include <unistd.h>

#include <QLocale>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/acquisition/engine.h"
#include "app/appinfo/appinfo.h"
#include "app/documents/analysiscsv.h"

namespace zrvlog {

namespace {

QString text(const std::string& s) {
  return QString::fromStdString(s);
}

std::int64_t unixMs(std::chrono::system_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

std::optional<publish::PublisherOptions> publisherOptions(const QString& url, const QString& caFile,
                                                          QString* errorOut) {
  std::string why;
  const auto parsed = publish::parseBrokerUrl(url.toStdString(), &why);
  const auto fail = [&](const QString& problem) -> std::optional<publish::PublisherOptions> {
    if (errorOut) *errorOut = problem;
    return std::nullopt;
  };
  if (!parsed) return fail(text(why));
  publish::PublisherOptions options;
  options.url = *parsed;
  if (!parsed->user.empty()) {
    const auto password = publish::brokerPassword(&why);
    if (!password) return fail(text(why));
    options.password = *password;
  }
  if (!caFile.isEmpty()) {
    if (!parsed->tls)
      return fail(QStringLiteral("a private CA goes with an mqtts:// broker, not %1")
                      .arg(text(parsed->display())));
    options.caFile = caFile.toStdString();
    if (::access(options.caFile.c_str(), R_OK) != 0)
      return fail(
          QStringLiteral("cannot read the CA file %1: %2").arg(caFile, qt_error_string(errno)));
  }
  return options;
}

QString publishStatusText(const QString& topic, publish::Link link, std::uint64_t waiting,
                          std::uint64_t dropped, const QString& why) {
  const QLocale locale;
  const QString samples = locale.toString(qulonglong(waiting)) +
                          (waiting == 1 ? QStringLiteral(" sample") : QStringLiteral(" samples"));
  QString status;
  switch (link) {
    case publish::Link::Connecting:
      status = QStringLiteral("Connecting to the broker for %1").arg(topic);
      break;
    case publish::Link::Connected:
      status = QStringLiteral("Publishing to %1").arg(topic);
      // Catching up after an outage: what is still on its way.
      if (waiting > 100) status += QStringLiteral(" (%1 to send)").arg(samples);
      break;
    case publish::Link::Unreachable:
      status = QStringLiteral("Broker unreachable: %1 waiting").arg(samples);
      break;
    case publish::Link::Refused:
      status = QStringLiteral("Broker refused: %1")
                   .arg(why.isEmpty() ? QStringLiteral("no reason given") : why);
      break;
  }
  if (dropped > 0)
    status +=
        QStringLiteral("; %1 dropped (outbox full)").arg(locale.toString(qulonglong(dropped)));
  return status;
}

publish::RunInfo runInfoOf(AcquisitionEngine& engine, std::int64_t startUnixMs) {
  publish::RunInfo run;
  run.startUnixMs = startUnixMs;
  run.runId = std::to_string(startUnixMs);
  run.intervalMs = engine.GetTimerInt();
  const AcquisitionSettings& s = engine.settings;
  // Raw counts have a bare number format; a calibrated run names its unit ("%g V").
  QString unit = valueAxisUnit(engine.graph());
  const bool raw = unit.isEmpty();
  if (raw) unit = QStringLiteral("counts");
  for (int c = 0; c < std::clamp<int>(s.ChanLimit, 0, kChannels); ++c)
    run.channels.push_back({"Ch" + std::to_string(c), unit.toStdString()});
  run.average = s.AvgCt;
  run.reference = s.RefSel == 0 ? "vdd" : s.RefSel == 1 ? "ch3" : "ch3-ch2";
  run.calibration = raw                          ? "raw counts"
                    : unit == QLatin1String("V") ? "volts"
                                                 : "to " + unit.toStdString();
  const Version v = programVersion();
  run.version =
      std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.revision);
  return run;
}

LivePublisher::LivePublisher(AcquisitionEngine& engine, publish::PublisherOptions options,
                             QObject* parent)
    : QObject(parent), m_engine(engine), m_options(options), m_publisher(std::move(options)) {
  connect(&engine, &AcquisitionEngine::runningChanged, this, &LivePublisher::runningChanged);
  connect(&engine, &AcquisitionEngine::sampleRecorded, this, &LivePublisher::sampleRecorded);
}

LivePublisher::~LivePublisher() {
  finish(std::chrono::seconds(1));
}

std::optional<QString> LivePublisher::start() {
  std::string why;
  if (!m_publisher.start(&why)) return text(why);
  m_started = true;
  return std::nullopt;
}

void LivePublisher::finish(std::chrono::milliseconds wait) {
  if (!m_started) return;
  m_started = false;
  m_publisher.stop(wait);
}

QString LivePublisher::statusText() const {
  return publishStatusText(topic(), m_publisher.link(), m_publisher.waiting(),
                           m_publisher.dropped(), text(m_publisher.linkError()));
}

void LivePublisher::runningChanged(bool running) {
  if (!m_started) return;
  if (running)
    m_publisher.runStarted(runInfoOf(m_engine, unixMs(std::chrono::system_clock::now())));
  else
    m_publisher.runStopped();
}

void LivePublisher::sampleRecorded(const SampleReport& report) {
  if (!m_started) return;
  // The tick's instant on the wall clock, to the millisecond.
  const auto wall =
      std::chrono::system_clock::now() - (std::chrono::steady_clock::now() - report.started);
  publish::Sample sample;
  sample.index = report.samples - 1;
  sample.unixMs = unixMs(std::chrono::time_point_cast<std::chrono::system_clock::duration>(wall));
  sample.elapsed = report.sampleTime;
  sample.jitter = report.jitter;
  std::copy_n(report.values.begin(), kChannels, sample.values.begin());
  m_publisher.add(sample);
}

}  // namespace zrvlog
