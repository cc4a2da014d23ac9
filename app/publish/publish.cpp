// The client is libmosquitto (Debian's libmosquitto-dev): a plain C API with no framework
// beneath it, maintained in Debian, from the project of the broker the lab most likely runs,
// and its network loop can be driven step by step from a thread of our own, so callbacks
// and the outbox need no locks between them.
#include "app/publish/publish.h"

#include <fcntl.h>
#include <mosquitto.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <sstream>

namespace zrvlog::publish {

namespace fs = std::filesystem;

// ---- The URL --------------------------------------------------------------------------------

std::string BrokerUrl::display() const {
  return (tls ? "mqtts://" : "mqtt://") + host + ":" + std::to_string(port);
}

std::optional<BrokerUrl> parseBrokerUrl(std::string_view text, std::string* errorOut) {
  const auto fail = [&](const std::string& why) -> std::optional<BrokerUrl> {
    if (errorOut) *errorOut = "'" + std::string(text) + "' is not a broker address: " + why;
    return std::nullopt;
  };
  BrokerUrl url;
  std::string_view rest = text;
  if (rest.starts_with("mqtt://")) {
    rest.remove_prefix(7);
  } else if (rest.starts_with("mqtts://")) {
    rest.remove_prefix(8);
    url.tls = true;
    url.port = 8883;
  } else {
    return fail("it starts with mqtt:// or mqtts://");
  }
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return fail("a topic follows the host (mqtt://HOST/TOPIC)");
  std::string_view authority = rest.substr(0, slash);
  const std::string_view topic = rest.substr(slash + 1);
  if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
    url.user = std::string(authority.substr(0, at));
    authority.remove_prefix(at + 1);
    if (url.user.empty()) return fail("the user before @ is empty");
    if (url.user.find(':') != std::string::npos)
      return fail(
          "a password never goes in the address; set ZRVLOG_MQTT_PASSWORD or "
          "ZRVLOG_MQTT_PASSWORD_FILE");
  }
  std::string_view host = authority;
  if (host.starts_with('[')) {  // [::1]:1883
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos) return fail("the IPv6 address has no ]");
    url.host = std::string(host.substr(1, close - 1));
    host.remove_prefix(close + 1);
    if (!host.empty() && !host.starts_with(':')) return fail("only :PORT may follow ]");
  } else {
    const std::size_t colon = host.find(':');
    url.host = std::string(host.substr(0, colon));
    host = colon == std::string_view::npos ? std::string_view() : host.substr(colon);
  }
  if (url.host.empty()) return fail("the host is missing");
  for (const char c : url.host)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_' ||
          c == ':'))
      return fail("the host has a character no host name has");
  if (!host.empty()) {
    host.remove_prefix(1);
    int port = 0;
    const auto [end, ec] = std::from_chars(host.data(), host.data() + host.size(), port);
    if (host.empty() || ec != std::errc() || end != host.data() + host.size() || port < 1 ||
        port > 65535)
      return fail("the port is a number from 1 to 65535");
    url.port = port;
  }
  if (topic.empty()) return fail("the topic is empty");
  if (topic.find_first_of("+#") != std::string_view::npos)
    return fail("a topic to publish to has no wildcards (+ or #)");
  if (topic.ends_with('/') || topic.find("//") != std::string_view::npos)
    return fail("the topic has an empty level");
  for (const char c : topic)
    if (static_cast<unsigned char>(c) < 0x20) return fail("the topic has a control character");
  url.topic = std::string(topic);
  return url;
}

// ---- The password ---------------------------------------------------------------------------

namespace {

std::string homeFolder() {
  const char* home = std::getenv("HOME");
  return home ? home : "";
}

std::string xdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value && *value == '/') return value;
  return homeFolder() + "/" + fallback;
}

}  // namespace

fs::path passwordFile() {
  return fs::path(xdgFolder("XDG_CONFIG_HOME", ".config")) / "ZRVLOG" / "mqtt-password";
}

bool storePassword(const std::string& password, std::string* errorOut) {
  const fs::path file = passwordFile();
  const auto fail = [&](const std::string& why) {
    if (errorOut) *errorOut = "cannot write the password file " + file.string() + ": " + why;
    return false;
  };
  std::error_code ec;
  if (password.empty()) {
    fs::remove(file, ec);
    return !ec || fail(ec.message());
  }
  fs::create_directories(file.parent_path(), ec);
  if (ec) return fail(ec.message());
  // Made private before the password goes in, then renamed over the old one.
  const fs::path part = file.string() + ".part";
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return fail(std::strerror(errno));
  ::fchmod(fd, 0600);
  const std::string line = password + "\n";
  const bool written =
      ::write(fd, line.data(), line.size()) == ssize_t(line.size()) && ::fsync(fd) == 0;
  const int writeErrno = errno;
  ::close(fd);
  if (!written || ::rename(part.c_str(), file.c_str()) != 0) {
    const std::string why = std::strerror(written ? errno : writeErrno);
    ::unlink(part.c_str());
    return fail(why);
  }
  return true;
}

std::optional<std::string> brokerPassword(std::string* errorOut) {
  if (const char* p = std::getenv("ZRVLOG_MQTT_PASSWORD")) return std::string(p);
  std::string path;
  bool named = false;
  if (const char* f = std::getenv("ZRVLOG_MQTT_PASSWORD_FILE"); f && *f) {
    path = f;
    named = true;
  } else {
    path = passwordFile().string();
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (!named && errno == ENOENT) return std::string();
    if (errorOut) *errorOut = "cannot read the password file " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  std::string line;
  const bool statted = ::fstat(fd, &st) == 0;
  if (statted && (st.st_mode & 077) == 0 && st.st_uid == ::geteuid()) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) line.assign(buf, std::size_t(n));
  }
  ::close(fd);
  if (!statted || (st.st_mode & 077) != 0 || st.st_uid != ::geteuid()) {
    if (errorOut)
      *errorOut = "the password file " + path +
                  " can be read by others; make it yours alone (chmod 600 " + path + ")";
    return std::nullopt;
  }
  line = line.substr(0, line.find_first_of("\r\n"));
  return line;
}

// ---- The messages ---------------------------------------------------------------------------

std::string isoUtc(std::int64_t unixMs) {
  const std::int64_t secs = unixMs >= 0 ? unixMs / 1000 : (unixMs - 999) / 1000;
  const int ms = int(unixMs - secs * 1000);
  const std::time_t t = std::time_t(secs);
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[96];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms);
  return buf;
}

std::string sampleKey(const RunInfo& run, std::uint64_t index) {
  return run.runId + "-" + std::to_string(index);
}

namespace {

void appendNumber(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";  // JSON has no NaN or infinity
    return;
  }
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void appendString(std::string& out, std::string_view s) {
  out += '"';
  for (const char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace

std::string samplesPayload(const RunInfo& run, const std::vector<Sample>& samples) {
  std::string out = "[";
  for (const Sample& s : samples) {
    if (out.size() > 1) out += ',';
    out += "{\"key\":";
    appendString(out, sampleKey(run, s.index));
    out += ",\"time\":";
    appendString(out, isoUtc(s.unixMs));
    out += ",\"elapsed\":";
    appendNumber(out, s.elapsed);
    out += ",\"jitter\":";
    out += std::to_string(s.jitter);
    out += ",\"values\":{";
    for (std::size_t c = 0; c < run.channels.size() && c < s.values.size(); ++c) {
      if (c > 0) out += ',';
      appendString(out, run.channels[c].name);
      out += ":{\"value\":";
      appendNumber(out, s.values[c]);
      out += ",\"unit\":";
      appendString(out, run.channels[c].unit);
      out += '}';
    }
    out += "}}";
  }
  out += ']';
  return out;
}

std::string metaPayload(const RunInfo& run) {
  std::string out = "{\"run\":";
  appendString(out, run.runId);
  out += ",\"started\":";
  appendString(out, isoUtc(run.startUnixMs));
  out += ",\"interval_ms\":" + std::to_string(run.intervalMs) + ",\"channels\":[";
  for (std::size_t c = 0; c < run.channels.size(); ++c) {
    if (c > 0) out += ',';
    out += "{\"name\":";
    appendString(out, run.channels[c].name);
    out += ",\"unit\":";
    appendString(out, run.channels[c].unit);
    out += '}';
  }
  out += "],\"average\":" + std::to_string(run.average) + ",\"reference\":";
  appendString(out, run.reference);
  out += ",\"calibration\":";
  appendString(out, run.calibration);
  out += ",\"version\":";
  appendString(out, run.version);
  out += '}';
  return out;
}

// ---- The outbox -----------------------------------------------------------------------------

fs::path outboxFolder(const BrokerUrl& url) {
  std::string name = url.host + "_" + std::to_string(url.port) + "_" + url.topic;
  for (char& c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_')) c = '_';
  return fs::path(xdgFolder("XDG_DATA_HOME", ".local/share")) / "ZRVLOG" / "outbox" / name;
}

Outbox::Outbox(fs::path folder, std::uint64_t limitBytes)
    : m_folder(std::move(folder)), m_limit(limitBytes) {}

Outbox::~Outbox() {
  if (m_lockFd >= 0) ::close(m_lockFd);
}

bool Outbox::open(std::string* errorOut) {
  std::error_code ec;
  fs::create_directories(m_folder, ec);
  if (ec) {
    if (errorOut) *errorOut = "cannot make the outbox " + m_folder.string() + ": " + ec.message();
    return false;
  }
  // The samples are the user's alone.
  ::chmod(m_folder.c_str(), 0700);
  ::chmod(m_folder.parent_path().c_str(), 0700);
  m_lockFd = ::open((m_folder / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (m_lockFd < 0 || ::flock(m_lockFd, LOCK_EX | LOCK_NB) != 0) {
    if (errorOut)
      *errorOut = "another zrvlog publishes to the same broker and topic (its outbox " +
                  m_folder.string() + " is in use)";
    return false;
  }
  for (const auto& entry : fs::directory_iterator(m_folder, ec)) {
    const std::string name = entry.path().filename().string();
    unsigned long long seq = 0;
    unsigned count = 0;
    char tail[8] = {};
    if (std::sscanf(name.c_str(), "%llu-%u.%5s", &seq, &count, tail) == 3 &&
        std::string_view(tail) == "json") {
      const std::uint64_t bytes = entry.file_size(ec);
      m_entries.push_back({seq, count, bytes});
      m_bytes += bytes;
    } else if (name.ends_with(".part")) {
      fs::remove(entry.path(), ec);  // a message cut short by a crash: never stored
    }
  }
  std::sort(m_entries.begin(), m_entries.end(),
            [](const Entry& a, const Entry& b) { return a.seq < b.seq; });
  if (!m_entries.empty()) m_nextSeq = m_entries.back().seq + 1;
  return true;
}

fs::path Outbox::file(const Entry& e) const {
  char name[64];
  std::snprintf(name, sizeof name, "%016llu-%u.json", static_cast<unsigned long long>(e.seq),
                e.samples);
  return m_folder / name;
}

std::uint64_t Outbox::add(const std::string& payload, std::uint32_t samples) {
  const Entry e{m_nextSeq, samples, payload.size()};
  const fs::path final = file(e);
  fs::path part = final;
  part += ".part";
  const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return 0;
  std::size_t done = 0;
  while (done < payload.size()) {
    const ssize_t n = ::write(fd, payload.data() + done, payload.size() - done);
    if (n <= 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += std::size_t(n);
  }
  ::close(fd);
  if (done != payload.size() || ::rename(part.c_str(), final.c_str()) != 0) {
    ::unlink(part.c_str());
    return 0;
  }
  ++m_nextSeq;
  m_entries.push_back(e);
  m_bytes += e.bytes;
  // Past the limit the oldest go: a broker away for days must not fill the disk.
  while (m_bytes > m_limit && m_entries.size() > 1) {
    m_dropped += m_entries.front().samples;
    remove(m_entries.front().seq);
  }
  return e.seq;
}

std::vector<Outbox::Entry> Outbox::next(std::uint64_t afterSeq, std::size_t max) const {
  std::vector<Entry> out;
  auto it = std::upper_bound(m_entries.begin(), m_entries.end(), afterSeq,
                             [](std::uint64_t s, const Entry& e) { return s < e.seq; });
  for (; it != m_entries.end() && out.size() < max; ++it)
    out.push_back(*it);
  return out;
}

std::optional<std::string> Outbox::read(std::uint64_t seq) const {
  const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                               [&](const Entry& e) { return e.seq == seq; });
  if (it == m_entries.end()) return std::nullopt;
  std::ifstream in(file(*it), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Outbox::remove(std::uint64_t seq) {
  const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                               [&](const Entry& e) { return e.seq == seq; });
  if (it == m_entries.end()) return;
  std::error_code ec;
  fs::remove(file(*it), ec);
  m_bytes -= it->bytes;
  m_entries.erase(it);
}

std::uint64_t Outbox::waitingSamples() const {
  std::uint64_t n = 0;
  for (const Entry& e : m_entries)
    n += e.samples;
  return n;
}

// ---- The publisher --------------------------------------------------------------------------

namespace {

using Clock = std::chrono::steady_clock;

// Messages handed to the client and not acknowledged yet: enough to keep a local broker
// busy, few enough that a reconnect resends little.
constexpr std::size_t kWindow = 64;

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

// A client set up for the broker: protocol, user and TLS; nullptr and why when it cannot be.
mosquitto* newClient(const PublisherOptions& options, void* self, std::string* why) {
  initLibrary();
  mosquitto* client = mosquitto_new(nullptr, true, self);
  if (!client) {
    *why = "no client could be made (out of memory)";
    return nullptr;
  }
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (!options.url.user.empty())
    mosquitto_username_pw_set(client, options.url.user.c_str(),
                              options.password.empty() ? nullptr : options.password.c_str());
  if (options.url.tls) {
    if (options.caFile.empty()) mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    const int rc = mosquitto_tls_set(
        client, options.caFile.empty() ? nullptr : options.caFile.c_str(),
        options.caFile.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      *why = "TLS cannot be set up with " +
             (options.caFile.empty() ? std::string("the system's CAs") : options.caFile) + ": " +
             mosquitto_strerror(rc);
      mosquitto_destroy(client);
      return nullptr;
    }
  }
  return client;
}

// The client logs the TLS library's reasons ("OpenSSL Error[0]: error:0A000086:SSL
// routines::certificate verify failed"); its error code alone says only "a TLS error".
void noteTlsError(std::string& out, const char* line) {
  const std::string_view text(line ? line : "");
  if (!text.starts_with("OpenSSL Error")) return;
  const std::size_t colon = text.rfind(':');
  out = std::string(colon == std::string_view::npos ? text : text.substr(colon + 1));
}

std::string untrusted(const PublisherOptions& options, const std::string& tlsError) {
  return "its certificate cannot be trusted with " +
         (options.caFile.empty() ? std::string("the system's CAs") : "the CA " + options.caFile) +
         " (" + (tlsError.empty() ? std::string("TLS handshake failed") : tlsError) + ")";
}

// The broker's refusals (CONNACK codes), in plain words.
std::string refusal(int rc) {
  switch (rc) {
    case 1:
      return "it does not speak MQTT 3.1.1";
    case 2:
      return "it refused the client's identifier";
    case 3:
      return "it is not available now";
    case 4:
      return "wrong user name or password";
    case 5:
      return "not authorised (a wrong password, or a user it does not admit)";
    default:
      return mosquitto_connack_string(rc);
  }
}

}  // namespace

TrialResult tryBroker(const PublisherOptions& options, std::chrono::milliseconds wait) {
  struct Trial {
    bool answered = false;
    int rc = -1;
    std::string tlsError;
  } trial;
  TrialResult result;
  const std::string broker = options.url.display();
  std::string why;
  mosquitto* client = newClient(options, &trial, &why);
  if (!client) {
    result.message = "Cannot try " + broker + ": " + why + ".";
    return result;
  }
  mosquitto_connect_callback_set(client, [](mosquitto*, void* self, int rc) {
    auto* t = static_cast<Trial*>(self);
    t->answered = true;
    t->rc = rc;
  });
  mosquitto_log_callback_set(client, [](mosquitto*, void* self, int, const char* line) {
    noteTlsError(static_cast<Trial*>(self)->tlsError, line);
  });
  const Clock::time_point until = Clock::now() + wait;
  int rc = mosquitto_connect_async(client, options.url.host.c_str(), options.url.port, 30);
  if (rc == MOSQ_ERR_ERRNO) why = std::strerror(errno);
  while (rc == MOSQ_ERR_SUCCESS && !trial.answered && Clock::now() < until) {
    rc = mosquitto_loop(client, 50, 1);
    if (rc == MOSQ_ERR_ERRNO) why = std::strerror(errno);
  }
  const std::string as = options.url.user.empty() ? "" : " as " + options.url.user;
  if (trial.answered && trial.rc == 0) {
    result.ok = true;
    result.message = "The broker at " + broker + " accepted the connection" + as + ".";
    mosquitto_disconnect(client);
    mosquitto_loop(client, 50, 1);
  } else if (trial.answered) {
    result.message =
        "The broker at " + broker + " refused the connection" + as + ": " + refusal(trial.rc) + ".";
  } else if (rc == MOSQ_ERR_TLS) {
    result.message =
        "The broker at " + broker + " was reached, but " + untrusted(options, trial.tlsError) + ".";
  } else if (rc != MOSQ_ERR_SUCCESS) {
    result.message = "No broker answers at " + broker + ": " +
                     (why.empty() ? std::string(mosquitto_strerror(rc)) : why) + ".";
  } else {
    result.message = "The broker at " + broker + " did not answer within " +
                     std::to_string(wait.count() / 1000) + " s.";
  }
  mosquitto_destroy(client);
  return result;
}

struct Publisher::Impl {
  PublisherOptions options;
  Outbox outbox;
  std::string samplesTopic, metaTopic, statusTopic;

  // Shared with the recording side, each held only to move a few values.
  mutable std::mutex mutex;
  std::condition_variable answered;
  std::vector<Sample> queue;
  std::optional<RunInfo> newRun;
  std::optional<std::string> newStatus;
  bool stopping = false;
  Clock::time_point deadline;
  Link link = Link::Connecting;
  bool firstAnswer = false;
  std::string linkError;

  std::atomic<std::uint64_t> queued{0}, inBatch{0}, waitingOnDisk{0}, dropped{0}, delivered{0};

  // The thread's own.
  std::thread thread;
  mosquitto* client = nullptr;
  bool connected = false;
  Clock::time_point nextAttempt{};
  RunInfo run;
  std::string meta, status = "online";
  bool metaSent = false, statusSent = false;
  std::vector<Sample> batch;
  Clock::time_point batchStarted{};
  std::uint64_t unwritten = 0;                 // samples the outbox could not store
  std::uint64_t lastSent = 0;                  // outbox sequence last handed to the client
  std::map<int, std::uint64_t> inFlight;       // message id -> outbox sequence
  std::map<int, std::string> inFlightControl;  // meta and status
  std::string tlsError;                        // the TLS library's last complaint

  Impl(PublisherOptions o)
      : options(std::move(o)),
        outbox(options.outbox.empty() ? outboxFolder(options.url) : options.outbox,
               options.outboxLimit),
        samplesTopic(options.url.topic + "/samples"),
        metaTopic(options.url.topic + "/meta"),
        statusTopic(options.url.topic + "/status") {}

  void setLink(Link l, const std::string& why = {}) {
    std::lock_guard lock(mutex);
    link = l;
    if (!why.empty()) linkError = why;
    if (l != Link::Connecting) firstAnswer = true;
    answered.notify_all();
  }

  void dropClient() {
    if (client) {
      mosquitto_destroy(client);
      client = nullptr;
    }
    // The client's own queue went with it: what it held is resent from the outbox.
    connected = false;
    inFlight.clear();
    inFlightControl.clear();
    lastSent = 0;
    metaSent = statusSent = false;
  }

  void connect() {
    nextAttempt = Clock::now() + std::chrono::seconds(1);
    std::string why;
    client = newClient(options, this, &why);
    if (!client) {
      setLink(Link::Refused, why);
      return;
    }
    // A logger that dies or loses its network is reported by the broker.
    mosquitto_will_set(client, statusTopic.c_str(), 7, "offline", 1, true);
    mosquitto_log_callback_set(client, [](mosquitto*, void* self, int, const char* line) {
      noteTlsError(static_cast<Impl*>(self)->tlsError, line);
    });
    mosquitto_connect_callback_set(
        client, [](mosquitto*, void* self, int rc) { static_cast<Impl*>(self)->onConnect(rc); });
    mosquitto_publish_callback_set(client, [](mosquitto*, void* self, int mid) {
      static_cast<Impl*>(self)->onAcknowledged(mid);
    });
    const int rc = mosquitto_connect_async(client, options.url.host.c_str(), options.url.port, 30);
    if (rc != MOSQ_ERR_SUCCESS) {
      notConnected(rc);
      dropClient();
    }
  }

  // A connection that failed before the broker answered. A certificate that cannot be
  // verified at the first try will not verify at the next either: that is a refusal.
  void notConnected(int rc) {
    const std::string why = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (rc == MOSQ_ERR_TLS && link == Link::Connecting)
      setLink(Link::Refused, untrusted(options, tlsError));
    else
      setLink(Link::Unreachable, why);
  }

  void onConnect(int rc) {
    if (rc == 0) {
      connected = true;
      setLink(Link::Connected);
      return;
    }
    // 4: bad user name or password, 5: not authorised. Retrying will not mend either.
    setLink(rc == 4 || rc == 5 ? Link::Refused : Link::Unreachable, refusal(rc));
  }

  void onAcknowledged(int mid) {
    if (const auto it = inFlight.find(mid); it != inFlight.end()) {
      for (const Outbox::Entry& e : outbox.next(it->second - 1, 1))
        if (e.seq == it->second) delivered += e.samples;
      outbox.remove(it->second);
      inFlight.erase(it);
    } else {
      inFlightControl.erase(mid);
    }
    waitingOnDisk = outbox.waitingSamples();
  }

  bool publish(const std::string& topic, const std::string& payload, bool retain, int* mid) {
    return mosquitto_publish(client, mid, topic.c_str(), int(payload.size()), payload.data(), 1,
                             retain) == MOSQ_ERR_SUCCESS;
  }

  void storeBatch() {
    if (batch.empty()) return;
    // A message the disk would not take (full, read-only) is lost, and counted as dropped.
    if (outbox.add(samplesPayload(run, batch), std::uint32_t(batch.size())) == 0)
      unwritten += batch.size();
    batch.clear();
    inBatch = 0;
    dropped = outbox.dropped() + unwritten;
    waitingOnDisk = outbox.waitingSamples();
  }

  void send() {
    int mid = 0;
    if (!meta.empty() && !metaSent && publish(metaTopic, meta, true, &mid)) {
      metaSent = true;
      inFlightControl[mid] = "meta";
    }
    if (!statusSent && publish(statusTopic, status, true, &mid)) {
      statusSent = true;
      inFlightControl[mid] = "status";
    }
    if (inFlight.size() >= kWindow) return;
    for (const Outbox::Entry& e : outbox.next(lastSent, kWindow - inFlight.size())) {
      const std::optional<std::string> payload = outbox.read(e.seq);
      if (!payload) {
        outbox.remove(e.seq);  // unreadable: nothing can deliver it
        continue;
      }
      if (!publish(samplesTopic, *payload, false, &mid)) return;
      inFlight[mid] = e.seq;
      lastSent = e.seq;
    }
  }

  void loop() {
    bool finishing = false;
    for (;;) {
      {
        std::lock_guard lock(mutex);
        if (!queue.empty() && batch.empty()) batchStarted = Clock::now();
        batch.insert(batch.end(), queue.begin(), queue.end());
        queue.clear();
        queued = 0;
        inBatch = batch.size();
        if (newRun) {
          storeBatch();  // the last run's samples keep their own keys
          run = *newRun;
          meta = metaPayload(run);
          metaSent = false;
          newRun.reset();
        }
        if (newStatus) {
          status = *newStatus;
          statusSent = false;
          newStatus.reset();
        }
        finishing = stopping;
      }
      if (!batch.empty() && (finishing || Clock::now() - batchStarted >= options.batch))
        storeBatch();
      // At the end, only a broker that is there (or being reached) is waited for.
      if (finishing && (outbox.size() == 0 || Clock::now() >= deadline || !client)) break;
      if (!client && Clock::now() >= nextAttempt && link != Link::Refused) connect();
      if (client && connected) send();
      if (client) {
        const int rc = mosquitto_loop(client, 10, 1);
        if (rc != MOSQ_ERR_SUCCESS || (link == Link::Refused && !connected)) {
          if (connected)
            setLink(Link::Unreachable, mosquitto_strerror(rc));
          else if (link == Link::Connecting && rc != MOSQ_ERR_SUCCESS)
            notConnected(rc);
          dropClient();
        }
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    if (client && connected) {
      // A clean goodbye: the will is not sent, so say it ourselves.
      int mid = 0;
      status = "offline";
      statusSent = false;
      if (publish(statusTopic, status, true, &mid)) {
        const Clock::time_point until = Clock::now() + std::chrono::seconds(1);
        inFlightControl[mid] = "status";
        while (inFlightControl.count(mid) && Clock::now() < until &&
               mosquitto_loop(client, 10, 1) == MOSQ_ERR_SUCCESS) {
        }
      }
      mosquitto_disconnect(client);
    }
    dropClient();
  }
};

Publisher::Publisher(PublisherOptions options) : m(std::make_unique<Impl>(std::move(options))) {}

Publisher::~Publisher() {
  stop(std::chrono::milliseconds(0));
}

bool Publisher::start(std::string* errorOut) {
  if (!m->outbox.open(errorOut)) return false;
  m->waitingOnDisk = m->outbox.waitingSamples();
  m->thread = std::thread([this] { m->loop(); });
  return true;
}

Link Publisher::waitFirstAnswer(std::chrono::milliseconds wait) {
  std::unique_lock lock(m->mutex);
  m->answered.wait_for(lock, wait, [&] { return m->firstAnswer; });
  return m->link;
}

std::string Publisher::linkError() const {
  std::lock_guard lock(m->mutex);
  return m->linkError;
}

void Publisher::runStarted(const RunInfo& run) {
  std::lock_guard lock(m->mutex);
  m->newRun = run;
  m->newStatus = "recording";
}

void Publisher::add(const Sample& sample) {
  std::lock_guard lock(m->mutex);
  m->queue.push_back(sample);
  ++m->queued;
}

void Publisher::runStopped() {
  std::lock_guard lock(m->mutex);
  m->newStatus = "stopped";
}

void Publisher::stop(std::chrono::milliseconds wait) {
  if (!m->thread.joinable()) return;
  {
    std::lock_guard lock(m->mutex);
    m->stopping = true;
    m->deadline = Clock::now() + wait;
  }
  m->thread.join();
}

Link Publisher::link() const {
  std::lock_guard lock(m->mutex);
  return m->link;
}

std::uint64_t Publisher::waiting() const {
  std::lock_guard lock(m->mutex);
  return m->queued + m->inBatch + m->waitingOnDisk;
}

std::uint64_t Publisher::dropped() const {
  return m->dropped;
}
std::uint64_t Publisher::delivered() const {
  return m->delivered;
}

}  // namespace zrvlog::publish
