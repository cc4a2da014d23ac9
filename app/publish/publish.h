#pragma once
// Samples published to an MQTT broker while a run records, for dashboards and time-series
// databases that watch many loggers at once. The recording side only hands samples over
// (a briefly locked queue); a thread of its own turns them into JSON messages, keeps them in
// an outbox on disk until the broker has acknowledged them (QoS 1), and delivers what a
// crash or an outage left there, oldest first. Delivery is at least once: every sample has
// a key that lets a consumer drop duplicates.

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/documents/channellimit.h"

namespace zrvlog::publish {

/// mqtt://[USER@]HOST[:PORT]/TOPIC or mqtts://...
struct BrokerUrl {
  bool tls = false;
  std::string user;
  std::string host;
  int port = 1883;
  std::string topic;
  /// "mqtt://host:port" without the user: how messages name the broker.
  std::string display() const;
};

/// The URL, or why it is not one (errorOut) and nothing.
std::optional<BrokerUrl> parseBrokerUrl(std::string_view text, std::string* errorOut);

/// The password of a broker user: ZRVLOG_MQTT_PASSWORD, else the file named by
/// ZRVLOG_MQTT_PASSWORD_FILE, else ~/.config/ZRVLOG/mqtt-password when it exists (its first
/// line). A file that others can read is refused. No password is an empty string; a
/// problem sets errorOut and returns nothing.
std::optional<std::string> brokerPassword(std::string* errorOut);

/// The password file the window writes and brokerPassword reads when no variable names one:
/// ~/.config/ZRVLOG/mqtt-password (under XDG_CONFIG_HOME when set).
std::filesystem::path passwordFile();
/// Writes the password file, readable by the user alone (0600), replacing it whole; an
/// empty password removes it. False and why when it cannot.
bool storePassword(const std::string& password, std::string* errorOut);

/// What a broker answered to a trial connection, in plain words.
struct TrialResult {
  bool ok = false;
  std::string message;  ///< "The broker at mqtt://host:1883 accepted ..." or why not
};
struct PublisherOptions;
/// Connects once, waits at most `wait` for the broker's answer and disconnects; publishes
/// nothing and touches no outbox. Blocks: call it off the window's thread.
TrialResult tryBroker(const PublisherOptions& options, std::chrono::milliseconds wait);

/// One sample as published.
struct Sample {
  std::uint64_t index = 0;  ///< 0 for the run's first sample
  std::int64_t unixMs = 0;  ///< wall-clock time of its tick, UTC milliseconds
  double elapsed = 0;       ///< seconds since the run started
  std::int32_t jitter = 0;  ///< ms
  std::array<double, kChannels> values{};
};

struct Channel {
  std::string name;  ///< "Ch0"
  std::string unit;  ///< "V" or "counts"
};

/// What a run was started with: the retained TOPIC/meta message.
struct RunInfo {
  std::string runId;  ///< unique per run: the prefix of every sample key
  std::int32_t intervalMs = 1000;
  std::vector<Channel> channels;  ///< the recorded channels
  int average = 1;
  std::string reference;    ///< "vdd", "ch3", "ch3-ch2"
  std::string calibration;  ///< "volts" or "raw counts"
  std::string version;      ///< the program's version
  std::int64_t startUnixMs = 0;
};

/// "2026-12-08T21:06:33.123Z"
std::string isoUtc(std::int64_t unixMs);
/// The key of a sample: "RUNID-INDEX".
std::string sampleKey(const RunInfo& run, std::uint64_t index);
/// A JSON array of samples: [{"key":..,"time":..,"elapsed":..,"jitter":..,"values":{"Ch0":
/// {"value":..,"unit":"V"},..}},..]
std::string samplesPayload(const RunInfo& run, const std::vector<Sample>& samples);
std::string metaPayload(const RunInfo& run);

/// Messages waiting on disk for the broker, one file each, in the order they were made.
/// The folder is private (0700, files 0600) and bounded: past the limit the oldest files
/// are dropped and their samples counted.
class Outbox {
 public:
  Outbox(std::filesystem::path folder, std::uint64_t limitBytes);
  /// Makes the folder, takes its lock and reads what an earlier run left; false and why
  /// when it cannot (another logger holds it).
  bool open(std::string* errorOut);
  ~Outbox();
  /// Stores a message of `samples` samples; returns its sequence number (0: not stored).
  std::uint64_t add(const std::string& payload, std::uint32_t samples);
  struct Entry {
    std::uint64_t seq;
    std::uint32_t samples;
    std::uint64_t bytes;
  };
  /// Entries after `afterSeq`, oldest first, at most `max`.
  std::vector<Entry> next(std::uint64_t afterSeq, std::size_t max) const;
  std::optional<std::string> read(std::uint64_t seq) const;
  void remove(std::uint64_t seq);
  std::uint64_t waitingSamples() const;
  std::size_t size() const { return m_entries.size(); }
  /// Samples dropped to stay within the limit so far.
  std::uint64_t dropped() const { return m_dropped; }
  const std::filesystem::path& folder() const { return m_folder; }

 private:
  std::filesystem::path file(const Entry& e) const;
  std::filesystem::path m_folder;
  std::uint64_t m_limit;
  std::vector<Entry> m_entries;  // oldest first
  std::uint64_t m_bytes = 0;
  std::uint64_t m_nextSeq = 1;
  std::uint64_t m_dropped = 0;
  int m_lockFd = -1;
};

/// ~/.local/share/ZRVLOG/outbox/<broker and topic> (under XDG_DATA_HOME when set).
std::filesystem::path outboxFolder(const BrokerUrl& url);

struct PublisherOptions {
  BrokerUrl url;
  std::string password;
  std::string caFile;  ///< a private CA for mqtts; empty: the system's store
  std::uint64_t outboxLimit = 1ull << 30;
  std::filesystem::path outbox;  ///< empty: outboxFolder(url)
  /// Samples gathered into one message for at most this long.
  std::chrono::milliseconds batch{50};
};

/// The state of the first connection, and of the link since.
enum class Link { Connecting, Connected, Unreachable, Refused };

class Publisher {
 public:
  explicit Publisher(PublisherOptions options);
  ~Publisher();  ///< stops (see stop) if not stopped
  /// Opens the outbox and starts the thread; false and why when it cannot.
  bool start(std::string* errorOut);
  /// Waits up to `wait` for the first answer of the broker.
  Link waitFirstAnswer(std::chrono::milliseconds wait);
  /// Why the broker refused (wrong user or password), or the last connection error.
  std::string linkError() const;

  /// A run starts: retained meta, status "recording".
  void runStarted(const RunInfo& run);
  /// A sample of the running run; never waits on the broker.
  void add(const Sample& sample);
  /// The run ended: status "stopped".
  void runStopped();
  /// Delivers what waits for up to `wait`, then says "offline" and ends the thread. What is
  /// still undelivered stays in the outbox for the next start.
  void stop(std::chrono::milliseconds wait);

  Link link() const;
  /// Samples still waiting in the outbox or in the queue.
  std::uint64_t waiting() const;
  std::uint64_t dropped() const;
  std::uint64_t delivered() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> m;
};

}  // namespace zrvlog::publish
