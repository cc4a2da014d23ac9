#include "board/zrvio.h"

#include <thread>

#include "board/host.h"
#include "board/logging.h"
#include "board/portmap.h"
#include "board/protocol.h"
#include "common/automationerror.h"

namespace zrv {

namespace {

using protocol::makebyte;
using protocol::makecmd;
namespace cmd = protocol::cmd;

// How long the readiness wait sleeps between passes once the host's events are done, so
// that a board holding CTS low does not cost a whole core.
constexpr auto kReadyPollInterval = std::chrono::microseconds(200);

// The handshake reads at most this many bytes looking for the status answer.
constexpr int kHandshakeReads = 10;

QByteArray dataByte(uint8_t value) {
  return QByteArray(1, static_cast<char>(makebyte(value)));
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
  return QStringLiteral("COM%1 (%2)").arg(m_commPort).arg(device);
}

void ZRVIO::throwPortError(int number, const QString& reason) const {
  throw AutomationError(number, portDescription() + QStringLiteral(": ") + reason);
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

void ZRVIO::setCommPort(int16_t port) {
  if (portopen())
    throwPortError(err::kPortOpen, QStringLiteral("close the port before changing its number"));
  if (port < kMinCommPort || port > kMaxCommPort)
    throw AutomationError(err::kPortInvalid, QStringLiteral("COM%1 is not a port number (%2 to %3)")
                                                 .arg(port)
                                                 .arg(kMinCommPort)
                                                 .arg(kMaxCommPort));
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
  const QString device = portmap::resolve(m_commPort);
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
  m_lastReadError.clear();
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
  { auto sync = sendcmd(makecmd(0, 0, 0), false); }
  {
    auto status = sendcmd(makecmd(0, 0, 1), true);
    // Stale bytes may precede the answer; one deadline for all reads keeps a silent board
    // from costing ten timeouts.
    const Deadline deadline = replyDeadline();
    bool answered = false;
    for (int i = 0; i < kHandshakeReads && !answered; ++i)
      answered = getbyte(deadline) == protocol::kStatusOk;
    if (!answered)
      qCWarning(lcBoard).noquote() << portDescription() << "did not answer the status query";
  }
  // Pins before directions, so that outputs take their stored levels as they are enabled.
  sendPins();
  sendTris();
}

void ZRVIO::sendPins() {
  if (m_pins < 0 || m_pins > protocol::kMaxByteOperand)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("pins %1 does not fit a byte (0 to 255)").arg(m_pins));
  { auto write = sendcmddata(makecmd(0, 2, m_pins), dataByte(m_pins), false); }
  host().propertyChanged(QStringLiteral("pins"));
}

void ZRVIO::sendTris() {
  if (m_tris < 0 || m_tris > protocol::kMaxByteOperand)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("tris %1 does not fit a byte (0 to 255)").arg(m_tris));
  { auto write = sendcmddata(makecmd(0, 1, m_tris), dataByte(m_tris), false); }
  host().propertyChanged(QStringLiteral("tris"));
}

// ---- Guarded send and receiver -----------------------------------------------------------

ZRVIO::BusyHold ZRVIO::sendcmd(uint8_t command, bool expectReply) {
  return guardedWrite(protocol::command(command), expectReply);
}

ZRVIO::BusyHold ZRVIO::sendcmddata(uint8_t command, const QByteArray& data, bool expectReply) {
  return guardedWrite(protocol::command(command, data), expectReply);
}

ZRVIO::BusyHold ZRVIO::sendargcmd(int32_t argument, uint8_t command, const QByteArray& data,
                                  bool expectReply) {
  if (argument < 0 || argument > protocol::kMaxArgument)
    throw AutomationError(
        err::kInvalidArgument,
        QStringLiteral("%1 does not fit a 16-bit operand (0 to 65535)").arg(argument));
  // The argument load and the command that uses it go out in one write.
  return guardedWrite(
      protocol::sendarg(static_cast<uint16_t>(argument)) + protocol::command(command, data),
      expectReply);
}

ZRVIO::BusyHold ZRVIO::guardedWrite(const QByteArray& bytes, bool expectReply) {
  if (!portopen()) throwPortError(err::kDeviceUnavailable, QStringLiteral("the port is not open"));
  waitUntilReady();
  // No events are processed between the readiness check and taking busy.
  BusyHold hold(&m_busy);
  writeBytes(bytes);
  if (!expectReply) hold.release();
  return hold;
}

void ZRVIO::waitUntilReady() {
  if (m_port->cts() && !m_busy) return;
  const Deadline deadline = Clock::now() + m_readyTimeout;
  for (;;) {
    host().processEvents();
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
                                  : QStringLiteral("CTS is not asserted")));
    std::this_thread::sleep_for(kReadyPollInterval);
  }
}

void ZRVIO::writeBytes(const QByteArray& bytes) {
  const PortStatus status = m_port->write(bytes, Clock::now() + m_readyTimeout);
  if (status.ok()) return;
  const int number =
      status.code == PortStatus::Code::NotOpen ? err::kPortNotOpen : err::kPortWriteFailed;
  throwPortError(number, status.reason);
}

uint8_t ZRVIO::getbyte(Deadline deadline) {
  m_errflag = false;
  ByteRead read;
  if (m_port)
    read = m_port->readByte(deadline);
  else
    read.status =
        PortStatus::failure(PortStatus::Code::NotOpen, QStringLiteral("the port is not open"));
  if (read.ok()) return read.byte;
  m_errflag = true;
  m_lastReadError =
      read.status.code == PortStatus::Code::TimedOut
          ? QStringLiteral("no reply from the board within %1 ms").arg(m_replyTimeout.count())
          : read.status.reason;
  qCDebug(lcBoard).noquote() << "read failed on" << portDescription() << m_lastReadError;
  return 0;
}

// ---- Status --------------------------------------------------------------------------------

bool ZRVIO::ok() {
  auto reply = sendcmd(makecmd(0, 0, 1), true);
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
  auto reset = sendcmd(cmd::kReset, false);
}

// ---- Analog conversion and repeated reads --------------------------------------------------

int32_t ZRVIO::a2d(int32_t pin) {
  checkPin(pin);
  auto reply = sendcmd(makecmd(3, pin, 0), true);
  const Deadline deadline = replyDeadline();
  const uint8_t first = getbyte(deadline);
  const uint8_t second = getbyte(deadline);
  return protocol::word(first, second);
}

void ZRVIO::a2dconf(bool justify, bool clkx2, int16_t cselect) {
  // cselect * 2 must fit the configuration byte.
  if (cselect < 0 || cselect > 127)
    throw AutomationError(
        err::kOverflow,
        QStringLiteral("cselect %1 does not fit the A/D configuration byte").arg(cselect));
  // Bits 5-1 hold cselect; larger values would silently change justify and clkx2.
  if (cselect > protocol::kMaxCselect)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("cselect %1 is not an A/D reference code (0 to %2)")
                              .arg(cselect)
                              .arg(protocol::kMaxCselect));
  const uint8_t value = protocol::a2dConfigValue(justify, clkx2, static_cast<uint8_t>(cselect));
  auto write = sendcmddata(cmd::kA2dConfig, dataByte(value), false);
}

void ZRVIO::repeat(int32_t ct) {
  if (ct == INT32_MIN)
    throw AutomationError(err::kOverflow,
                          QStringLiteral("repeat count %1 minus one does not fit 32 bits").arg(ct));
  if (ct < 1 || ct > protocol::kMaxArgument + 1)
    throw AutomationError(err::kInvalidArgument,
                          QStringLiteral("repeat count %1 is not 1 to 65536").arg(ct));
  auto write = sendargcmd(ct - 1, cmd::kRepeat, {}, false);
}

int32_t ZRVIO::readbyte() {
  return getbyte(replyDeadline());
}

int32_t ZRVIO::readword() {
  const Deadline deadline = replyDeadline();
  const uint8_t first = getbyte(deadline);
  const uint8_t second = getbyte(deadline);
  return protocol::word(first, second);
}

}  // namespace zrv
