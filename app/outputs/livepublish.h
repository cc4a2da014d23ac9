#pragma once
// The broker entry of the output registry at work: a publisher (app/publish) fed by a
// running engine, for the headless recorder and the window alike. A run that starts sends
// its settings (TOPIC/meta) and status "recording"; every recorded sample is handed to the
// publisher's thread, which never makes the run wait; a run that ends says "stopped".

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "app/publish/publish.h"

namespace zrvlog {

class AcquisitionEngine;
struct SampleReport;

/// The options of a broker address as the user gave it: the URL parsed, the password from
/// the environment or the user's password file, and the private CA (mqtts:// only). Nothing
/// and why (errorOut) when one of them is wrong.
std::optional<publish::PublisherOptions> publisherOptions(const QString& url, const QString& caFile,
                                                          QString* errorOut);

/// The window's status text for the publisher's state: "Publishing to lab/bench1",
/// "Broker unreachable: 1,234 samples waiting", "Broker refused: ...".
QString publishStatusText(const QString& topic, publish::Link link, std::uint64_t waiting,
                          std::uint64_t dropped, const QString& why);

/// What the publisher sends of a run that starts: the engine's settings, channels by the
/// graph's names with the value axis's unit.
publish::RunInfo runInfoOf(AcquisitionEngine& engine, std::int64_t startUnixMs);

class LivePublisher : public QObject {
  Q_OBJECT

 public:
  LivePublisher(AcquisitionEngine& engine, publish::PublisherOptions options,
                QObject* parent = nullptr);
  /// Gives the broker at most a second for what waits; the rest stays in the outbox.
  ~LivePublisher() override;

  /// Opens the outbox and starts the publisher's thread; why when it cannot.
  std::optional<QString> start();
  /// Waits up to `wait` for the broker's first answer.
  publish::Link waitFirstAnswer(std::chrono::milliseconds wait) {
    return m_publisher.waitFirstAnswer(wait);
  }
  /// Delivers what waits for up to `wait` and ends the thread; what is left stays in the
  /// outbox for the next start.
  void finish(std::chrono::milliseconds wait);

  /// "mqtt://host:port", for messages.
  QString broker() const { return QString::fromStdString(m_options.url.display()); }
  QString topic() const { return QString::fromStdString(m_options.url.topic); }
  QString statusText() const;
  const publish::Publisher& publisher() const { return m_publisher; }

 private:
  void runningChanged(bool running);
  void sampleRecorded(const SampleReport& report);

  AcquisitionEngine& m_engine;
  publish::PublisherOptions m_options;
  publish::Publisher m_publisher;
  bool m_started = false;
};

}  // namespace zrvlog
