#include "board/zrvio.h"

#include <algorithm>
#include <thread>

#include "board/host.h"
#include "board/logging.h"
#include "board/portmap.h"
#include "board/propertybag.h"
#include "board/protocol.h"
#include "common/automationerror.h"

namespace zrv {

namespace {

using protocol::forPin;
using protocol::makebyte;
using protocol::withLowBit;
namespace cmd = protocol::cmd;
namespace ext = protocol::ext;
namespace units = protocol::units;

// How long the readiness wait sleeps between passes once the host's events are done, so
// that a board holding CTS low does not cost a whole core.
constexpr auto kReadyPollInterval = std::chrono::microseconds(200);

// A long reply (a count of seconds) is waited for in slices this long, so that a host can
// abandon it; most replies come within the first.
constexpr auto kAbandonCheck = std::chrono::milliseconds(50);

// The handshake reads at most this many bytes looking for the status answer.
constexpr int kHandshakeReads = 10;

// After a failed read, bytes still arriving belong to the broken reply (or are noise); a
// line this long quiet has nothing more of it. Long enough for USB adapters that hold
// received bytes for their 16 ms latency timer.
constexpr auto kQuietGap = std::chrono::milliseconds(20);

// Stale bytes taken off the line at most before a command, so that a noisy line cannot hold it.
constexpr int kMaxDiscarded = 64 * 1024;

QByteArray dataByte(uint8_t value) {
  return QByteArray(1, static_cast<char>(makebyte(value)));
}

QByteArray rawByte(int value) {
  return QByteArray(1, static_cast<char>(value));
}

// 5 for an operand outside [0, max]; `what` names it in the message.
void checkRange(const char* what, int32_t value, int32_t max, const char* fits) {
  if (value < 0 || value > max)
    throw AutomationError(err::kInvalidArgument, QStringLiteral("%1 %2 does not fit %3 (0 to %4)")
                                                     .arg(QLatin1String(what))
                                                     .arg(value)
                                                     .arg(QLatin1String(fits))
                                                     .arg(max));
}

void checkByte(const char* what, int32_t value) {
  checkRange(what, value, protocol::kMaxByteOperand, "a byte");
}

void checkWord(const char* what, int32_t value) {
  checkRange(what, value, protocol::kMaxArgument, "a 16-bit operand");
}

// How long the board is asked to spend on a duration operand.
Clock::duration durationOf(int32_t operand) {
  return operand * std::chrono::duration_cast<Clock::duration>(units::kDuration);
}

// A stored property as a 32-bit number: 13 when it is not a number, 6 when it is too large.
int32_t storedNumber(const PropertyBag& bag, const QString& key, int32_t defaultValue) {
  const QVariant value = bag.read(key, defaultValue);
  bool ok = false;
  const qlonglong n = value.toLongLong(&ok);
  if (!ok)
    throw AutomationError(err::kTypeMismatch,
                          QStringLiteral("the stored property %1 (\"%2\") is not a number")
                              .arg(key, value.toString()));
  if (n < INT32_MIN || n > INT32_MAX)
    throw AutomationError(
        err::kOverflow,
        QStringLiteral("the stored property %1 (%2) does not fit 32 bits").arg(key).arg(n));
  return static_cast<int32_t>(n);
}

}  // namespace

ZRVIO::ZRVIO(Host* host) : m_host(host) {}

ZRVIO::~ZRVIO() {
  closePort();
}

void ZRVIO::setHost(Host* host) {
  m_host = host;
}

void ZRVIO::setPortFactory(PortFactory factory) {
  m_portFactory = std::move(factory);
}

Host& ZRVIO::host() const {
  return m_host ? *m_host : defaultHost();
}

QString ZRVIO::portDescription() const {
  const QString device = m_port ? m_device : portmap::resolve(m_commPort);
  // No device when the port map cannot be used; the open error says why.
  if (device.isEmpty()) return QStringLiteral("COM%1").arg(m_commPort);
  return QStringLiteral("COM%1 (%2)").arg(m_commPort).arg(device);
}

void ZRVIO::throwPortError(int number, const QString& reason, bool timedOut) const {
  const QString detail = portDescription() + QStringLiteral(": ") + reason;
  if (timedOut) throw AutomationError::timeout(number, detail);
  throw AutomationError(number, detail);
}

void ZRVIO::requireRunTimeSet(const char* property) const {
  if (host().designMode())
    throw AutomationError(err::kSetNotPermitted,
                          QStringLiteral("%1 cannot be set in design mode").arg(property));
}

void ZRVIO::checkPin(int32_t pin) const {
  if (pin < 0)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("%1 is not a pin number (0 to 7)").arg(pin));
}

// ---- Link ----------------------------------------------------------------------------------

void ZRVIO::checkCommPort(int32_t port) {
  if (port < kMinCommPort || port > kMaxCommPort)
    throw AutomationError(err::kPortInvalid, QStringLiteral("COM%1 is not a port number (%2 to %3)")
                                                 .arg(port)
                                                 .arg(kMinCommPort)
                                                 .arg(kMaxCommPort));
}

void ZRVIO::setCommPort(int16_t port) {
  if (portopen())
    throwPortError(err::kPortOpen, QStringLiteral("close the port before changing its number"));
  checkCommPort(port);
  m_commPort = port;
  host().propertyChanged(QStringLiteral("CommPort"));
}

bool ZRVIO::portopen() const {
  return m_port && m_port->isOpen();
}

void ZRVIO::setPortopen(bool open) {
  requireRunTimeSet("portopen");
  if (open) {
    if (portopen())
      throwPortError(err::kPortAlreadyOpen, QStringLiteral("the port is already open"));
    openPort();
    try {
      handshake();
    } catch (...) {
      // A link that could not be set up is of no use, and hosts read portopen as "running".
      closePort();
      throw;
    }
  } else {
    closePort();
  }
  host().propertyChanged(QStringLiteral("portopen"));
}

void ZRVIO::openPort() {
  QString mapError;
  const QString device = portmap::lookup(m_commPort, &mapError).device;
  // A port map that cannot be read maps nothing; guessing the default device could open
  // another board or modem.
  if (!mapError.isEmpty())
    throw AutomationError(err::kPortInvalid,
                          QStringLiteral("COM%1: %2").arg(m_commPort).arg(mapError));
  std::unique_ptr<SerialPort> port = m_portFactory ? m_portFactory(device) : makeSerialPort(device);
  const PortStatus status = port->open();
  if (!status.ok()) {
    const int number =
        status.code == PortStatus::Code::NotFound ? err::kPortInvalid : err::kPortUnavailable;
    throw AutomationError(
        number, QStringLiteral("COM%1 (%2): %3").arg(m_commPort).arg(device, status.reason));
  }
  m_port = std::move(port);
  m_device = device;
  m_boardBusyUntil = {};
  m_lastReadError.clear();
  m_readFailure = ReadFailure::None;
  // Whatever configured the board before, this link has not.
  m_a2dLayout = protocol::A2dLayout::Unknown;
  m_pendingRepeat = m_lastRepeat = 1;
  forgetOwedResults();
  m_unproven = m_doubted = false;
  m_lateBytes = m_replyLeft = 0;
  m_markerDue = false;
  qCDebug(lcBoard).noquote() << "link open on" << portDescription();
}

void ZRVIO::closePort() {
  if (!m_port) return;
  qCDebug(lcBoard).noquote() << "closing the link on" << portDescription();
  m_port->close();
  m_port.reset();
  m_device.clear();
}

void ZRVIO::handshake() {
  { auto sync = sendcmd(cmd::kSync, kNoReply); }
  {
    auto status = sendcmd(cmd::kStatus, kByteReply);
    // Bytes a board sends as it wakes up may precede the answer; one deadline for all reads
    // keeps a silent board from costing ten timeouts.
    const Deadline deadline = replyDeadline();
    bool answered = false;
    for (int i = 0; i < kHandshakeReads && !answered; ++i) {
      answered = getbyte(deadline) == protocol::kStatusOk;
      if (m_errflag) break;  // nothing came in time: the other reads would fail at once
    }
    if (!answered)
      qCWarning(lcBoard).noquote() << portDescription() << "did not answer the status query";
  }
  // Pins before directions, so that outputs take their stored levels as they are enabled.
  sendPins();
  sendTris();
}

void ZRVIO::sendPins() {
  sendStoredByte("pins", cmd::kWritePins, m_pins);
  host().propertyChanged(QStringLiteral("pins"));
}

void ZRVIO::sendTris() {
  sendStoredByte("tris", cmd::kWriteTris, m_tris);
  host().propertyChanged(QStringLiteral("tris"));
}

void ZRVIO::sendStoredByte(const char* property, uint8_t command, int32_t value) {
  checkByte(property, value);
  // Bit 0 of the byte rides in the command byte.
  auto write =
      sendcmddata(withLowBit(command, value), dataByte(static_cast<uint8_t>(value)), kNoReply);
}

// ---- Guarded send and receiver -----------------------------------------------------------

ZRVIO::BusyHold ZRVIO::sendcmd(uint8_t command, int replyBytes) {
  return guardedWrite(protocol::command(command), replyBytes);
}

ZRVIO::BusyHold ZRVIO::sendcmddata(uint8_t command, const QByteArray& data, int replyBytes) {
  return guardedWrite(protocol::command(command, data), replyBytes);
}

ZRVIO::BusyHold ZRVIO::sendargcmd(int32_t argument, uint8_t command, const QByteArray& data,
                                  int replyBytes) {
  if (argument < 0 || argument > protocol::kMaxArgument)
    throw AutomationError(
        err::kInvalidArgument,
        QStringLiteral("%1 does not fit a 16-bit operand (0 to 65535)").arg(argument));
  // The argument load and the command that uses it go out in one write.
  return guardedWrite(
      protocol::sendarg(static_cast<uint16_t>(argument)) + protocol::command(command, data),
      replyBytes);
}

ZRVIO::BusyHold ZRVIO::guardedWrite(const QByteArray& bytes, int replyBytes) {
  if (!portopen()) throwPortError(err::kDeviceUnavailable, QStringLiteral("the port is not open"));
  waitUntilReady();
  // No events are processed between the readiness check and taking busy.
  BusyHold hold(&m_busy);
  if (m_lateBytes > 0 && Clock::now() - m_lateSince > kLateReplyLimit) m_lateBytes = 0;
  // The line must be quiet before a command: what is waiting now answers no command of ours,
  // and read as this reply it would put every later reply out of step. When it follows an
  // A/D result read in full, that result is in doubt too (see settleReplies()).
  if (discardStale() && m_unproven)
    noteDoubt(QStringLiteral("a byte followed the board's reply before the next command"));
  m_unproven = false;
  // While bytes of a timed-out reply are still owed, the status answer goes ahead of this
  // reply: it must come right after them, else the line lost bytes and the count is void.
  const bool marked = replyBytes > 0 && m_lateBytes > 0;
  writeBytes(marked ? protocol::command(cmd::kStatus) + bytes : bytes);
  // A repeat count goes to the command after it; further results of an earlier repeated
  // conversion are no longer read once another command has gone out.
  m_lastRepeat = std::exchange(m_pendingRepeat, 1);
  forgetOwedResults();
  m_replyLeft = replyBytes * m_lastRepeat;
  m_markerDue = marked;
  if (replyBytes == 0) hold.release();
  return hold;
}

bool ZRVIO::discardStale() {
  if (m_lateBytes == 0) return m_port->discardWaiting();
  // Bytes a timed-out reply still owed are expected here; only those beyond them are stale.
  bool stale = false;
  for (int i = 0; i < kMaxDiscarded && m_port->readByte(Clock::now()).ok(); ++i) {
    if (m_lateBytes > 0)
      --m_lateBytes;
    else
      stale = true;
  }
  return stale;
}

void ZRVIO::waitUntilReady() {
  if (m_port->cts() && !m_busy) return;
  // A board still busy with a long command (a tone, a pulse) holds CTS that much longer.
  const Deadline deadline = std::max(Clock::now(), m_boardBusyUntil) + m_readyTimeout;
  for (;;) {
    host().processEvents();
    throwIfAbandoned();
    // Host code run from the events may have closed the link under us.
    if (!portopen())
      throwPortError(err::kDeviceUnavailable,
                     QStringLiteral("the port was closed while a command waited for the board"));
    const bool cts = m_port->cts();
    if (cts && !m_busy) return;
    if (Clock::now() >= deadline)
      throwPortError(err::kDeviceUnavailable,
                     QStringLiteral("the board was not ready within %1 ms (%2)")
                         .arg(m_readyTimeout.count())
                         .arg(cts ? QStringLiteral("a reply of another command is still owed")
                                  : QStringLiteral("CTS is not asserted")),
                     true);
    std::this_thread::sleep_for(kReadyPollInterval);
  }
}

void ZRVIO::writeBytes(const QByteArray& bytes) {
  const PortStatus status = m_port->write(bytes, Clock::now() + m_readyTimeout);
  if (status.ok()) return;
  const int number =
      status.code == PortStatus::Code::NotOpen ? err::kPortNotOpen : err::kPortWriteFailed;
  throwPortError(number, status.reason, status.code == PortStatus::Code::TimedOut);
}

void ZRVIO::throwIfAbandoned() {
  if (m_abandon.exchange(false))
    throw AutomationError(
        err::kUserInterrupt,
        QStringLiteral("%1: the host abandoned the wait for the board").arg(portDescription()));
}

Deadline ZRVIO::replyDeadline(Clock::duration busy) const {
  return std::max(Clock::now(), m_boardBusyUntil) + m_replyTimeout + busy;
}

void ZRVIO::boardBusyFor(Clock::duration busy) {
  // Ports without CTS let the next command out at once; the board queues it behind this one.
  m_boardBusyUntil = std::max(Clock::now(), m_boardBusyUntil) + busy;
}

int32_t ZRVIO::getword(Deadline deadline) {
  const uint8_t first = getbyte(deadline);
  // A byte that comes after the first one failed is no second byte of this reply.
  if (m_errflag) return 0;
  const uint8_t second = getbyte(deadline);
  return protocol::word(first, second);
}

int32_t ZRVIO::getA2dResult(Deadline deadline) {
  const int32_t value = getword(deadline);
  if (m_errflag || protocol::isA2dResult(value, m_a2dLayout)) return value;
  failRead(ReadFailure::InvalidReply,
           QStringLiteral("the board sent %1, which is no A/D result").arg(value));
  return 0;
}

bool ZRVIO::catchUp(Deadline deadline) {
  // A reply that came too late is still on its way: its bytes come first and answer an
  // earlier command, whenever they come.
  while (m_lateBytes > 0) {
    if (!receive(deadline).ok()) return false;
    --m_lateBytes;
  }
  if (!std::exchange(m_markerDue, false)) return true;
  const ByteRead marker = receive(deadline);
  if (!marker.ok()) return false;
  if (marker.byte == protocol::kStatusOk) return true;
  // Something other than the status answer where it must be: bytes of the late reply were
  // lost, so the count of them no longer holds and this reply is out of step.
  m_replyLeft = 0;
  failRead(ReadFailure::InvalidReply,
           QStringLiteral("the line lost bytes of a late reply; this reply is out of step"));
  return false;
}

ByteRead ZRVIO::receive(Deadline deadline) {
  ByteRead read;
  if (m_port) {
    // A slice ending early (a port that cannot wait) is the port's answer; one that ran out
    // with time left is waited again unless the host gave up.
    Deadline slice;
    do {
      slice = m_abandonable ? std::min(deadline, Clock::now() + kAbandonCheck) : deadline;
      read = m_port->readByte(slice);
    } while (read.status.code == PortStatus::Code::TimedOut && slice < deadline &&
             Clock::now() >= slice && !m_abandon.load());
    if (!read.ok()) throwIfAbandoned();
  } else
    read.status =
        PortStatus::failure(PortStatus::Code::NotOpen, QStringLiteral("the port is not open"));
  if (read.ok()) return read;
  if (read.status.code == PortStatus::Code::TimedOut)
    failRead(ReadFailure::NoReply,
             QStringLiteral("no reply from the board within %1 ms").arg(m_replyTimeout.count()));
  else
    failRead(ReadFailure::PortError, read.status.reason);
  return read;
}

uint8_t ZRVIO::getbyte(Deadline deadline) {
  m_errflag = false;
  m_readFailure = ReadFailure::None;
  if (!catchUp(deadline)) return 0;
  const ByteRead read = receive(deadline);
  if (!read.ok()) return 0;
  if (m_replyLeft > 0) --m_replyLeft;
  return read.byte;
}

void ZRVIO::failRead(ReadFailure failure, const QString& reason) {
  m_errflag = true;
  m_readFailure = failure;
  m_lastReadError = reason;
  qCDebug(lcBoard).noquote() << "read failed on" << portDescription() << reason;
  if (failure == ReadFailure::PortError) return;  // a device in error has nothing more
  // What the exchange has not brought yet may still come, however late: it is counted, and
  // taken for what it is when it comes, so it never poses as the next reply.
  const int owed = std::exchange(m_replyLeft, 0) + (std::exchange(m_markerDue, false) ? 1 : 0);
  if (owed > 0 && m_lateBytes == 0) m_lateSince = Clock::now();
  m_lateBytes += owed;
  drainInput();
}

void ZRVIO::drainInput() {
  if (!portopen()) return;
  if (m_lateBytes == 0) m_port->discardInput();
  const Deadline limit = Clock::now() + m_replyTimeout;
  while (m_port->readByte(std::min(Clock::now() + kQuietGap, limit)).ok()) {
    if (m_lateBytes > 0) --m_lateBytes;
    if (Clock::now() >= limit) break;
  }
}

void ZRVIO::discardInput() {
  forgetOwedResults();
  m_unproven = false;
  if (portopen()) discardStale();
}

bool ZRVIO::settleReplies() {
  if (m_unproven && portopen() && byteFollows(m_lastResultAt + m_quietTime))
    noteDoubt(QStringLiteral("a byte followed the board's last reply"));
  m_unproven = false;
  if (!std::exchange(m_doubted, false)) return true;
  // Whatever put them in doubt may still be arriving; the next command must not take it.
  drainInput();
  return false;
}

ReplyProof ZRVIO::checkReplies() {
  if (!m_doubted && m_unproven && portopen() && Clock::now() < m_lastResultAt + m_quietTime) {
    if (!byteFollows(Clock::now())) return ReplyProof::Pending;
    noteDoubt(QStringLiteral("a byte followed the board's last reply"));
    m_unproven = false;
  }
  return settleReplies() ? ReplyProof::Proven : ReplyProof::Doubted;
}

bool ZRVIO::byteFollows(Deadline until) {
  if (!m_port->byteArrives(until)) return false;
  drainInput();  // the rest of whatever followed
  return true;
}

void ZRVIO::noteDoubt(const QString& reason) {
  m_doubted = true;
  m_lastReadError = reason;
  qCDebug(lcBoard).noquote() << "reply doubted on" << portDescription() << reason;
}

int32_t ZRVIO::lastA2dResult(int32_t value) {
  if (m_errflag) return value;
  m_lastResultAt = Clock::now();
  if (m_deferredProof) {
    m_unproven = true;
    return value;
  }
  // Proven here and now: the line stays quiet for a few byte times after the reply.
  if (!byteFollows(m_lastResultAt + m_quietTime)) return value;
  failRead(ReadFailure::InvalidReply,
           QStringLiteral("a byte followed the board's reply, which puts it in doubt"));
  return 0;
}

void ZRVIO::forgetOwedResults() {
  m_resultsOwed = 0;
  m_resultsLost = ReadFailure::None;
}

// ---- Status --------------------------------------------------------------------------------

bool ZRVIO::ok() {
  auto reply = sendcmd(cmd::kStatus, kByteReply);
  return getbyte(replyDeadline()) == protocol::kStatusOk;
}

bool ZRVIO::ready() {
  return portopen() && !m_busy && m_port->cts();
}

void ZRVIO::setReady(bool) {
  requireRunTimeSet("ready");
  throw AutomationError(err::kSetNotSupportedAtRunTime, QStringLiteral("ready is read-only"));
}

void ZRVIO::setErrflag(bool) {
  requireRunTimeSet("errflag");
  throw AutomationError(err::kSetNotSupportedAtRunTime, QStringLiteral("errflag is read-only"));
}

void ZRVIO::resetall() {
  auto reset = sendcmd(cmd::kReset, kNoReply);
  // The converter's reset layout is the board's affair (the simulated one powers up
  // left-justified); results pass unchecked until a2dconf sets it again.
  m_a2dLayout = protocol::A2dLayout::Unknown;
}

// ---- Analog conversion and repeated reads --------------------------------------------------

int32_t ZRVIO::a2d(int32_t pin) {
  checkPin(pin);
  auto reply = sendcmd(forPin(cmd::kA2d, pin), kWordReply);
  // A repeat count sent just before makes the board send that many results back to back;
  // readword takes the further ones.
  const int32_t conversions = m_lastRepeat;
  int32_t value = getA2dResult(replyDeadline());
  m_resultsOwed = conversions - 1;
  if (m_resultsOwed == 0) value = lastA2dResult(value);
  if (m_errflag) m_resultsLost = m_readFailure;
  return value;
}

void ZRVIO::a2dconf(bool justify, bool clkx2, int16_t cselect) {
  // cselect * 2 must fit the configuration byte; from 32 on its bits merge with justify
  // and clkx2, as callers of the control have always had it.
  if (cselect < 0 || cselect > protocol::kMaxCselectOperand)
    throw AutomationError(
        err::kOverflow,
        QStringLiteral("cselect %1 does not fit the A/D configuration byte").arg(cselect));
  const uint8_t value = protocol::a2dConfigValue(justify, clkx2, static_cast<uint8_t>(cselect));
  { auto write = sendcmddata(cmd::kA2dConfig, dataByte(value), kNoReply); }
  m_a2dLayout = protocol::a2dLayoutOf(value);
}

void ZRVIO::repeat(int32_t ct) {
  if (ct == INT32_MIN)
    throw AutomationError(err::kOverflow,
                          QStringLiteral("repeat count %1 minus one does not fit 32 bits").arg(ct));
  if (ct < 1 || ct > protocol::kMaxArgument + 1)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("repeat count %1 is not 1 to 65536").arg(ct));
  { auto write = sendargcmd(ct - 1, cmd::kRepeat, {}, kNoReply); }
  m_pendingRepeat = ct;
}

int32_t ZRVIO::readbyte() {
  // Results taken bytewise cannot be told apart any more.
  forgetOwedResults();
  m_unproven = false;
  return getbyte(replyDeadline());
}

int32_t ZRVIO::readword() {
  if (m_resultsOwed == 0) return getword(replyDeadline());
  --m_resultsOwed;
  if (m_resultsLost != ReadFailure::None) {
    // The rest of this conversion was drained after a failed read: it will not come, and
    // waiting for it would cost a reply limit per result.
    m_errflag = true;
    m_readFailure = m_resultsLost;
    m_lastReadError =
        QStringLiteral("the rest of the repeated conversion was dropped after a failed read");
    return 0;
  }
  int32_t value = getA2dResult(replyDeadline());
  if (m_resultsOwed == 0) value = lastA2dResult(value);
  if (m_errflag) m_resultsLost = m_readFailure;
  return value;
}

// ---- Digital pins and the LED --------------------------------------------------------------

int32_t ZRVIO::tris() {
  return readStoredByte(cmd::kReadTris, &m_tris);
}

void ZRVIO::setTris(int32_t value) {
  writeStoredByte("tris", cmd::kWriteTris, value, &m_tris);
}

int32_t ZRVIO::pins() {
  return readStoredByte(cmd::kReadPins, &m_pins);
}

void ZRVIO::setPins(int32_t value) {
  writeStoredByte("pins", cmd::kWritePins, value, &m_pins);
}

int32_t ZRVIO::readStoredByte(uint8_t command, int32_t* stored) {
  if (!portopen()) return *stored;
  auto reply = sendcmd(command, kByteReply);
  const uint8_t value = getbyte(replyDeadline());
  // A byte that never came is not the board's state: keep what is stored (errflag tells),
  // rather than turning every pin into an output at the next open.
  if (!m_errflag) *stored = value;
  return *stored;
}

void ZRVIO::writeStoredByte(const char* property, uint8_t command, int32_t value, int32_t* stored) {
  // The stored value changes even when the board cannot take it, as in design mode; the
  // host learns of the change either way.
  *stored = value;
  host().propertyChanged(QLatin1String(property));
  if (portopen()) sendStoredByte(property, command, value);
}

void ZRVIO::toggle(int32_t pin) {
  checkPin(pin);
  auto write = sendcmd(forPin(cmd::kToggle, pin), kNoReply);
}

void ZRVIO::high(int32_t pin) {
  checkPin(pin);
  auto write = sendcmd(forPin(cmd::kHigh, pin), kNoReply);
}

void ZRVIO::low(int32_t pin) {
  checkPin(pin);
  auto write = sendcmd(forPin(cmd::kLow, pin), kNoReply);
}

int32_t ZRVIO::inp(int32_t pin) {
  checkPin(pin);
  auto reply = sendcmd(forPin(cmd::kInput, pin), kByteReply);
  return getbyte(replyDeadline()) == '0' ? 0 : 1;
}

bool ZRVIO::led() const {
  throw AutomationError(err::kGetNotSupportedAtRunTime,
                        QStringLiteral("led is write-only; the LED state cannot be read"));
}

void ZRVIO::setLed(bool on) {
  requireRunTimeSet("led");
  auto write = sendcmd(withLowBit(cmd::kLed, on ? 1 : 0), kNoReply);
  host().propertyChanged(QStringLiteral("led"));
}

// ---- Pulses, frequencies and the counter ---------------------------------------------------

int32_t ZRVIO::count(int32_t pin, int32_t duration) {
  checkPin(pin);
  checkWord("duration", duration);
  auto reply = sendargcmd(duration, forPin(cmd::kCount, pin), {}, kWordReply);
  return getword(replyDeadline(durationOf(duration)));
}

void ZRVIO::pulseout(int32_t pin, int32_t period) {
  checkPin(pin);
  checkWord("period", period);
  { auto write = sendargcmd(period, forPin(cmd::kPulseOut, pin), {}, kNoReply); }
  boardBusyFor(durationOf(period));
}

int32_t ZRVIO::pulsein(int32_t pin, int32_t state) {
  checkPin(pin);
  if (state < 0)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("state %1 is not a pin state (0 or 1)").arg(state));
  auto reply = sendcmd(withLowBit(forPin(cmd::kPulseIn, pin), state), kWordReply);
  // The board may wait as long for the pulse to begin as it then measures it.
  return getword(replyDeadline(2 * units::kMeasureLimit));
}

void ZRVIO::pwm(int32_t pin, int32_t duty, int32_t fduration) {
  if (pin != -1) checkPin(pin);
  checkByte("duty", duty);
  checkWord("fduration", fduration);
  // Pin -1 is the board's fixed PWM output, which has a command of its own.
  const uint8_t command = withLowBit(pin == -1 ? cmd::kPwmFixed : forPin(cmd::kPwmPin, pin), duty);
  { auto write = sendargcmd(fduration, command, dataByte(static_cast<uint8_t>(duty)), kNoReply); }
  boardBusyFor(durationOf(fduration));
}

void ZRVIO::freq(int32_t pin, int32_t tone, int32_t duration) {
  checkPin(pin);
  checkRange("tone", tone, protocol::kMaxTone, "15 bits");
  checkWord("duration", duration);
  {
    auto write = sendargcmd(duration, cmd::kExtended,
                            protocol::freqData(pin, static_cast<uint16_t>(tone)), kNoReply);
  }
  boardBusyFor(durationOf(duration));
}

int32_t ZRVIO::rctime(int32_t pin, int32_t state) {
  checkPin(pin);
  // The state is added to the selector unmasked: a 2 would measure the next pin.
  if (state != 0 && state != 1)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("state %1 is not a pin state (0 or 1)").arg(state));
  // The selector goes out with the command in one guarded write, so no command from a host
  // event can come between them.
  auto reply = sendcmddata(cmd::kExtended, rawByte(withLowBit(forPin(ext::kRcTime, pin), state)),
                           kWordReply);
  return getword(replyDeadline(units::kMeasureLimit));
}

int32_t ZRVIO::counter() {
  auto reply = sendcmd(cmd::kReadCounter, kWordReply);
  return getword(replyDeadline());
}

void ZRVIO::setCounter(int32_t) {
  requireRunTimeSet("counter");
  throw AutomationError(err::kSetNotSupportedAtRunTime, QStringLiteral("counter is read-only"));
}

void ZRVIO::setcounter(int16_t prescale, bool countmode) {
  const uint8_t selector =
      withLowBit(ext::kSetCounter + protocol::prescaleCode(prescale), countmode ? 1 : 0);
  auto write = sendcmddata(cmd::kExtended, rawByte(selector), kNoReply);
}

// ---- EEPROM --------------------------------------------------------------------------------

int32_t ZRVIO::eeprom(int32_t add) {
  checkWord("address", add);
  // The address load precedes the guarded command, so a closed port shows as the serial
  // port's own error. Both go out in one guarded write: a command from a host event run
  // during the readiness wait cannot replace the address.
  if (!portopen()) throwPortError(err::kPortNotOpen, QStringLiteral("the port is not open"));
  auto reply = sendargcmd(add, cmd::kEepromRead, {}, kByteReply);
  return getbyte(replyDeadline());
}

void ZRVIO::setEeprom(int32_t add, int32_t value) {
  requireRunTimeSet("eeprom");
  checkWord("address", add);
  checkByte("value", value);
  {
    auto write = sendargcmd(add, withLowBit(cmd::kEepromWrite, value),
                            dataByte(static_cast<uint8_t>(value)), kNoReply);
  }
  host().propertyChanged(QStringLiteral("eeprom"));
}

// ---- Stored properties ---------------------------------------------------------------------

void ZRVIO::initProperties() {
  m_tris = props::kDefaultTris;
  m_pins = props::kDefaultPins;
  m_errflag = false;
}

void ZRVIO::readProperties(const PropertyBag& bag) {
  if (portopen())
    throwPortError(err::kPortOpen, QStringLiteral("close the port before loading its properties"));
  const int32_t port = storedNumber(bag, props::kCommPort, props::kDefaultCommPort);
  const int32_t tris = storedNumber(bag, props::kTris, props::kDefaultTris);
  const int32_t pins = storedNumber(bag, props::kPins, props::kDefaultPins);
  if (port < kMinCommPort || port > kMaxCommPort)
    throw AutomationError(err::kPortInvalid,
                          QStringLiteral("the stored port number %1 is not a port (%2 to %3)")
                              .arg(port)
                              .arg(kMinCommPort)
                              .arg(kMaxCommPort));
  m_commPort = static_cast<int16_t>(port);
  m_tris = tris;
  m_pins = pins;
}

void ZRVIO::writeProperties(PropertyBag& bag) const {
  bag.write(props::kCommPort, int32_t{m_commPort}, props::kDefaultCommPort);
  bag.write(props::kTris, m_tris, props::kDefaultTris);
  bag.write(props::kPins, m_pins, props::kDefaultPins);
}

}  // namespace zrv
