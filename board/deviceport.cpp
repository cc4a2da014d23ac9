#include "board/deviceport.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "board/logging.h"

namespace zrv {

namespace {

constexpr speed_t kBaudRate = B57600;
const QString kNotOpen = QStringLiteral("the port is not open");
const QString kRemoved = QStringLiteral("the device was removed");

timespec remainingUntil(Deadline deadline) {
  const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
  return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

bool meansRemoved(int error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// Waits until fd is ready for `events` or the deadline passes. Returns poll's revents, 0 on
// timeout, -1 with errno on failure.
int waitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const timespec ts = remainingUntil(deadline);
    const int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

}  // namespace

DevicePort::DevicePort(QString device) : m_device(std::move(device)) {}

DevicePort::~DevicePort() {
  close();
}

PortStatus DevicePort::open() {
  using Code = PortStatus::Code;
  if (isOpen()) return PortStatus::success();
  const QByteArray path = m_device.toLocal8Bit();
  // Non-blocking: opening must not wait for carrier, and writes must never block past their
  // deadline (they wait in poll() instead).
  m_fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m_fd < 0) {
    const int error = errno;
    const Code code = (error == ENOENT || error == ENODEV || error == ENXIO)  ? Code::NotFound
                      : (error == EACCES || error == EPERM || error == EBUSY) ? Code::AccessDenied
                                                                              : Code::Failed;
    return PortStatus::failure(code, qt_error_string(error));
  }
  // One program at a time talks to a board: other users of the library (flock) and other
  // programs (TIOCEXCL) are kept out while the port is open.
  if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(std::exchange(m_fd, -1));
    return PortStatus::failure(PortStatus::Code::AccessDenied,
                               error == EWOULDBLOCK
                                   ? QStringLiteral("the device is in use by another program")
                                   : qt_error_string(error));
  }
  const PortStatus status = configure();
  if (!status.ok()) {
    ::close(std::exchange(m_fd, -1));
    return status;
  }
  ::ioctl(m_fd, TIOCEXCL);
  m_ctsUnknown = false;
  m_removed = false;
  m_bufferPos = m_bufferLen = 0;
  requestLowLatency();
  // Whatever the device received before we opened it is not an answer to us.
  ::tcflush(m_fd, TCIOFLUSH);
  qCDebug(lcBoard).noquote() << "opened" << m_device;
  return PortStatus::success();
}

PortStatus DevicePort::configure() {
  termios tio{};
  if (::tcgetattr(m_fd, &tio) != 0) {
    const int error = errno;
    return PortStatus::failure(
        PortStatus::Code::Failed,
        error == ENOTTY ? QStringLiteral("not a serial device (%1)").arg(qt_error_string(error))
                        : qt_error_string(error));
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, kBaudRate);
  ::cfsetospeed(&tio, kBaudRate);
  if (::tcsetattr(m_fd, TCSANOW, &tio) != 0)
    return PortStatus::failure(PortStatus::Code::Failed, qt_error_string(errno));
  return PortStatus::success();
}

void DevicePort::requestLowLatency() {
  // USB adapters hold received bytes for their latency timer (often 16 ms) unless asked
  // not to, which would dominate every round trip. Devices that cannot do it are fine as is.
  serial_struct ss{};
  if (::ioctl(m_fd, TIOCGSERIAL, &ss) == 0) {
    ss.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(m_fd, TIOCSSERIAL, &ss) == 0) return;
  }
  const int error = errno;
  qCDebug(lcBoard).noquote() << m_device << "has no low-latency mode:" << qt_error_string(error);
}

void DevicePort::close() {
  if (m_fd < 0) return;
  // The exclusive mode outlives this descriptor when another one keeps the device open (as
  // zrvsim keeps its pseudo-terminal), so it is given up explicitly.
  ::ioctl(m_fd, TIOCNXCL);
  ::close(std::exchange(m_fd, -1));
  m_bufferPos = m_bufferLen = 0;
  qCDebug(lcBoard).noquote() << "closed" << m_device;
}

bool DevicePort::isOpen() const {
  return m_fd >= 0;
}

PortStatus DevicePort::removed(const QString& why) {
  if (!m_removed) qCWarning(lcBoard).noquote() << m_device << why;
  m_removed = true;
  m_removedReason = why;
  return PortStatus::failure(PortStatus::Code::Removed, why);
}

PortStatus DevicePort::write(const QByteArray& bytes, Deadline deadline) {
  using Code = PortStatus::Code;
  if (!isOpen()) return PortStatus::failure(Code::NotOpen, kNotOpen);
  if (m_removed) return PortStatus::failure(Code::Removed, m_removedReason);
  const char* p = bytes.constData();
  qsizetype left = bytes.size();
  while (left > 0) {
    const ssize_t n = ::write(m_fd, p, static_cast<size_t>(left));
    if (n > 0) {
      p += n;
      left -= n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      if (meansRemoved(errno)) return removed(kRemoved);
      return PortStatus::failure(Code::Failed, qt_error_string(errno));
    }
    // The device's transmit buffer is full: wait for room, but not past the deadline.
    const int revents = waitFor(m_fd, POLLOUT, deadline);
    if (revents == 0)
      return PortStatus::failure(Code::TimedOut, QStringLiteral("the device accepts no data"));
    if (revents < 0) return PortStatus::failure(Code::Failed, qt_error_string(errno));
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) return removed(kRemoved);
  }
  return PortStatus::success();
}

ByteRead DevicePort::readByte(Deadline deadline) {
  using Code = PortStatus::Code;
  if (m_bufferPos < m_bufferLen) return {static_cast<uint8_t>(m_buffer[m_bufferPos++]), {}};
  if (!isOpen()) return {0, PortStatus::failure(Code::NotOpen, kNotOpen)};
  if (m_removed) return {0, PortStatus::failure(Code::Removed, m_removedReason)};
  for (;;) {
    const int revents = waitFor(m_fd, POLLIN, deadline);
    if (revents == 0) return timedOut();
    if (revents < 0) return {0, PortStatus::failure(Code::Failed, qt_error_string(errno))};
    if (revents & POLLIN) {
      const ssize_t n = ::read(m_fd, m_buffer, sizeof m_buffer);
      if (n > 0) {
        m_bufferLen = static_cast<int>(n);
        m_bufferPos = 1;
        return {static_cast<uint8_t>(m_buffer[0]), {}};
      }
      if (n < 0 && meansRemoved(errno)) return {0, removed(kRemoved)};
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        return {0, PortStatus::failure(Code::Failed, qt_error_string(errno))};
      if (n == 0 && (revents & POLLHUP)) return {0, removed(kRemoved)};
    } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
      return {0, removed(kRemoved)};
    }
    // Readable but nothing read: never let that turn into a loop past the deadline.
    if (Clock::now() >= deadline) return timedOut();
  }
}

ByteRead DevicePort::timedOut() {
  // The reply may still come, after the next command has gone out.
  m_lateReplyPossible = true;
  return {0, PortStatus::failure(PortStatus::Code::TimedOut, QStringLiteral("no reply"))};
}

void DevicePort::discardInput() {
  m_bufferPos = m_bufferLen = 0;
  if (!isOpen() || m_removed) return;
  // Flushing the driver's queue waits for the kernel's own delivery work, which a busy machine
  // can hold up for milliseconds; before every command that is too dear. It is needed when a
  // reply may still be on its way (a read timed out), or when bytes are waiting; otherwise
  // nothing has arrived that could be stale. A removed device is left for the next transfer
  // to report.
  int waiting = 0;
  if (!std::exchange(m_lateReplyPossible, false) && ::ioctl(m_fd, FIONREAD, &waiting) == 0 &&
      waiting == 0)
    return;
  ::tcflush(m_fd, TCIFLUSH);
  for (int i = 0; i < 256; ++i) {
    const ssize_t n = ::read(m_fd, m_buffer, sizeof m_buffer);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;
  }
}

bool DevicePort::discardWaiting() {
  // Called before every command: one look at the driver's queue answers both what was
  // waiting and whether anything needs throwing away (see discardInput).
  int waiting = 0;
  const bool buffered = m_bufferPos < m_bufferLen;
  const bool looked = isOpen() && !m_removed && ::ioctl(m_fd, FIONREAD, &waiting) == 0;
  const bool any = buffered || (looked && waiting > 0);
  if (looked && !any && !m_lateReplyPossible) return false;
  discardInput();
  return any;
}

bool DevicePort::byteArrives(Deadline deadline) {
  // The quiet after a reply is what the line should show: its timeout leaves no reply on
  // its way, so the next command need not flush the driver's queue. A flush every tick
  // (it can wait milliseconds for the kernel, see discardInput) made fast runs overrun.
  const bool lateReplyPossible = m_lateReplyPossible;
  const ByteRead read = readByte(deadline);
  if (read.status.code == PortStatus::Code::TimedOut) m_lateReplyPossible = lateReplyPossible;
  return read.ok();
}

bool DevicePort::cts() {
  if (!isOpen() || m_ctsUnknown) return true;
  int lines = 0;
  if (::ioctl(m_fd, TIOCMGET, &lines) == 0) return lines & TIOCM_CTS;
  if (errno == ENOTTY || errno == EINVAL) {
    // Pseudo-terminals and some adapters have no modem lines: take CTS as asserted for good.
    qCDebug(lcBoard).noquote() << m_device << "cannot report CTS; taking it as asserted";
    m_ctsUnknown = true;
  }
  // Any other failure (a removed device) is left to the next write to report.
  return true;
}

}  // namespace zrv
