#include "ptyserver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

namespace zrvsim {

namespace {

using Nanos = int64_t;

// 57,600 baud, 8N1: start bit, 8 data bits, stop bit.
constexpr Nanos kByteTime = 10 * 1'000'000'000LL / 57'600;
// How long before a byte's time the server stops sleeping and watches the clock instead.
constexpr Nanos kWakeMargin = 50'000;
// Replies nobody reads (no host has the device open) are dropped beyond this.
constexpr qsizetype kMaxBacklog = 1 << 20;

Nanos monotonicNow() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
}

timespec toTimespec(Nanos ns) {
  return {static_cast<time_t>(ns / 1'000'000'000LL), static_cast<long>(ns % 1'000'000'000LL)};
}

struct TimedByte {
  uint8_t byte;
  Nanos due;
};

}  // namespace

PtyServer::~PtyServer() {
  if (m_slave >= 0) ::close(m_slave);
  if (m_master >= 0) ::close(m_master);
}

bool PtyServer::create(QString* error) {
  auto fail = [error](const char* what) {
    *error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                          QString::fromLocal8Bit(std::strerror(errno)));
    return false;
  };
  m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_master < 0) return fail("posix_openpt");
  if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) return fail("unlockpt");
  char name[128];
  if (::ptsname_r(m_master, name, sizeof name) != 0) return fail("ptsname");
  m_path = QString::fromLocal8Bit(name);
  // Our own slave descriptor: the master never sees a hang-up when hosts close, and the
  // line settings below stay in force between hosts.
  m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_slave < 0) return fail("open slave");
  termios tio{};
  if (::tcgetattr(m_slave, &tio) != 0) return fail("tcgetattr");
  ::cfmakeraw(&tio);
  ::cfsetspeed(&tio, B57600);
  if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) return fail("tcsetattr");
  if (::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0)
    return fail("fcntl");
  return true;
}

bool PtyServer::useEepromFile(const QString& path, QString* error) {
  m_eepromFile = path;
  QFile file(path);
  if (!file.exists()) return true;  // a new board: erased, written at the first change
  if (!file.open(QIODevice::ReadOnly)) {
    *error = QStringLiteral("%1: %2").arg(path, file.errorString());
    return false;
  }
  const QByteArray bytes = file.read(zrv::protocol::kEepromSize + 1);
  if (bytes.size() != zrv::protocol::kEepromSize) {
    *error = QStringLiteral("%1 is not an EEPROM image (%2 bytes, not %3)")
                 .arg(path)
                 .arg(bytes.size())
                 .arg(zrv::protocol::kEepromSize);
    return false;
  }
  zrv::SimBoard::EepromImage image{};
  std::memcpy(image.data(), bytes.constData(), image.size());
  m_board.setEeprom(image);
  return true;
}

void PtyServer::saveEeprom() {
  if (m_eepromFile.isEmpty() || m_board.eepromWrites() == m_savedWrites) return;
  m_savedWrites = m_board.eepromWrites();
  QSaveFile file(m_eepromFile);
  const auto& image = m_board.eeprom();
  const bool ok =
      file.open(QIODevice::WriteOnly) &&
      file.write(reinterpret_cast<const char*>(image.data()), static_cast<qint64>(image.size())) ==
          static_cast<qint64>(image.size()) &&
      file.commit();
  // Said once: the board goes on serving from memory.
  if (!ok && !m_saveFailed)
    std::fprintf(stderr, "zrvsim: cannot save the EEPROM to %s: %s\n", qPrintable(m_eepromFile),
                 qPrintable(file.errorString()));
  m_saveFailed = !ok;
}

int PtyServer::serve(bool paced, const volatile std::sig_atomic_t& stop) {
  // Sleeps end on time rather than up to the default 50 us timer slack later.
  ::prctl(PR_SET_TIMERSLACK, 1UL);
  sigset_t waitMask;
  ::sigprocmask(SIG_SETMASK, nullptr, &waitMask);
  ::sigdelset(&waitMask, SIGINT);
  ::sigdelset(&waitMask, SIGTERM);

  const Nanos start = m_bootClock ? 0 : monotonicNow();
  auto seconds = [start](Nanos t) { return static_cast<double>(t - start) * 1e-9; };
  std::deque<TimedByte> incoming;  // paced: received, waiting for their wire time
  std::deque<TimedByte> outgoing;  // paced: replies waiting for their wire time
  Nanos inputFree = 0;             // when the line towards the board is next idle
  Nanos outputFree = 0;            // when the line towards the host is next idle
  QByteArray backlog;              // due for writing, not yet taken by the pseudo-terminal
  char buffer[4096];

  while (!stop) {
    Nanos now = monotonicNow();

    // Paced: bytes whose wire time has come reach the board; replies queue behind each other.
    while (!incoming.empty() && incoming.front().due <= now) {
      const TimedByte in = incoming.front();
      incoming.pop_front();
      const QByteArray reply = m_board.receive(in.byte, seconds(in.due));
      // The reply leaves once the board is done with the command (a count's duration).
      const Nanos done = start + static_cast<Nanos>(m_board.readyAt() * 1e9);
      for (char c : reply) {
        outputFree = std::max({outputFree, in.due, done}) + kByteTime;
        outgoing.push_back({static_cast<uint8_t>(c), outputFree});
      }
    }
    saveEeprom();

    // Replies that are due go to the backlog, then as much of it as the device takes.
    while (!outgoing.empty() && outgoing.front().due <= now) {
      backlog.append(static_cast<char>(outgoing.front().byte));
      outgoing.pop_front();
    }
    if (!backlog.isEmpty()) {
      const ssize_t n = ::write(m_master, backlog.constData(), static_cast<size_t>(backlog.size()));
      if (n > 0) backlog.remove(0, n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) {
        std::fprintf(stderr, "zrvsim: write: %s\n", std::strerror(errno));
        return 1;
      }
      if (backlog.size() > kMaxBacklog) backlog.clear();
    }

    // Wait for input, room for the backlog, a signal, or (paced) the next byte's time.
    Nanos next = -1;
    if (!incoming.empty()) next = incoming.front().due;
    if (!outgoing.empty() && (next < 0 || outgoing.front().due < next)) next = outgoing.front().due;
    if (next > now) {
      // Absolute deadlines: a late wake-up shortens the next wait instead of adding up.
      // Waking takes about 20 us (up to 50) here, a tenth of a byte's wire time, so the
      // sleep ends early and the last stretch is watched on the clock.
      const timespec until = toTimespec(next - kWakeMargin);
      while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
      }
      while (monotonicNow() < next) {
      }
    }
    const timespec zero{0, 0};
    const timespec retry = toTimespec(1'000'000);  // a backlog nobody drains: look again
    const timespec* timeout = nullptr;
    if (next >= 0)
      timeout = &zero;
    else if (!backlog.isEmpty())
      timeout = &retry;
    pollfd p{m_master, static_cast<short>(POLLIN | (backlog.isEmpty() ? 0 : POLLOUT)), 0};
    const int r = ::ppoll(&p, 1, timeout, &waitMask);
    if (r < 0 && errno != EINTR) {
      std::fprintf(stderr, "zrvsim: poll: %s\n", std::strerror(errno));
      return 1;
    }
    if (r <= 0 || !(p.revents & POLLIN)) continue;

    const ssize_t n = ::read(m_master, buffer, sizeof buffer);
    if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
      std::fprintf(stderr, "zrvsim: read: %s\n", std::strerror(errno));
      return 1;
    }
    now = monotonicNow();
    for (ssize_t i = 0; i < n; ++i) {
      const auto byte = static_cast<uint8_t>(buffer[i]);
      if (paced) {
        inputFree = std::max(inputFree, now) + kByteTime;
        incoming.push_back({byte, inputFree});
      } else {
        backlog += m_board.receive(byte, seconds(now));
      }
    }
    saveEeprom();
  }
  return 0;
}

}  // namespace zrvsim
