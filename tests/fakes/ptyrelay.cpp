#include "tests/fakes/ptyrelay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace zrv::fake {

namespace {

QString systemError(const char* what) {
  return QStringLiteral("%1: %2").arg(QLatin1String(what),
                                      QString::fromLocal8Bit(std::strerror(errno)));
}

bool makeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  ::cfsetspeed(&tio, B57600);
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(std::exchange(fd, -1));
}

// A fault of a kind at a place; the factories add what the kind needs.
Fault placed(Fault::Kind kind, Direction direction, qint64 at) {
  Fault f;
  f.kind = kind;
  f.direction = direction;
  f.at = at;
  return f;
}

// A fault that lasts: how long it holds the line, or waits before it acts.
Fault lasting(Fault f, std::chrono::milliseconds duration) {
  f.duration = duration;
  return f;
}

}  // namespace

Fault Fault::drop(Direction direction, qint64 at, int count) {
  Fault f = placed(Kind::Drop, direction, at);
  f.count = count;
  return f;
}

Fault Fault::inject(Direction direction, qint64 at, QByteArray bytes) {
  Fault f = placed(Kind::Inject, direction, at);
  f.bytes = std::move(bytes);
  return f;
}

Fault Fault::append(Direction direction, qint64 at, QByteArray bytes) {
  Fault f = placed(Kind::Append, direction, at);
  f.bytes = std::move(bytes);
  return f;
}

Fault Fault::appendLater(Direction direction, qint64 at, QByteArray bytes,
                         std::chrono::milliseconds gap) {
  return lasting(append(direction, at, std::move(bytes)), gap);
}

Fault Fault::mute(Direction direction, qint64 at, std::chrono::milliseconds duration) {
  return lasting(placed(Kind::Mute, direction, at), duration);
}

Fault Fault::unplugFor(Direction direction, qint64 at, std::chrono::milliseconds away) {
  return lasting(unplug(direction, at), away);
}

Fault Fault::delay(Direction direction, qint64 at, std::chrono::milliseconds duration) {
  return lasting(placed(Kind::Delay, direction, at), duration);
}

Fault Fault::split(Direction direction, qint64 at, std::chrono::milliseconds gap) {
  return delay(direction, at, gap);
}

Fault Fault::silence(Direction direction, qint64 at) {
  return placed(Kind::Silence, direction, at);
}

Fault Fault::unplug(Direction direction, qint64 at) {
  return placed(Kind::Unplug, direction, at);
}

PtyRelay::~PtyRelay() {
  stop();
}

bool PtyRelay::openHostSide(QString* error) {
  auto fail = [&](const char* what) {
    *error = systemError(what);
    closeFd(m_hostSlave);
    closeFd(m_hostMaster);
    return false;
  };
  m_hostMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_hostMaster < 0 || ::grantpt(m_hostMaster) != 0 || ::unlockpt(m_hostMaster) != 0)
    return fail("posix_openpt");
  char name[128];
  if (::ptsname_r(m_hostMaster, name, sizeof name) != 0) return fail("ptsname");
  m_hostPath = QString::fromLocal8Bit(name);
  m_hostSlave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (m_hostSlave < 0 || !makeRaw(m_hostSlave)) return fail("the host's device");
  if (::fcntl(m_hostMaster, F_SETFL, ::fcntl(m_hostMaster, F_GETFL) | O_NONBLOCK) != 0)
    return fail("fcntl");
  if (!m_linkPath.isEmpty()) {
    // The new device appears under the old name at once: a link made aside, then renamed.
    const QByteArray link = m_linkPath.toLocal8Bit();
    const QByteArray aside = link + ".new";
    ::unlink(aside.constData());
    if (::symlink(name, aside.constData()) != 0 ||
        ::rename(aside.constData(), link.constData()) != 0)
      return fail("the link path");
  }
  m_unplugged = false;
  return true;
}

bool PtyRelay::start(const QString& boardDevice, QString* error, const QString& linkPath) {
  auto fail = [&](const char* what) {
    if (what) *error = systemError(what);
    closeFd(m_board);
    closeFd(m_hostSlave);
    closeFd(m_hostMaster);
    closeFd(m_wake);
    return false;
  };
  m_linkPath = linkPath;
  m_board =
      ::open(boardDevice.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m_board < 0 || !makeRaw(m_board)) return fail("the board's device");
  if (!openHostSide(error)) return fail(nullptr);
  m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_wake < 0) return fail("eventfd");
  m_stop = false;
  m_thread = std::thread(&PtyRelay::run, this);
  return true;
}

void PtyRelay::stop() {
  if (!m_thread.joinable()) return;
  {
    std::lock_guard lock(m_mutex);
    m_stop = true;
  }
  wake();
  m_thread.join();
  closeFd(m_board);
  closeFd(m_hostSlave);
  closeFd(m_hostMaster);
  closeFd(m_wake);
  if (!m_linkPath.isEmpty()) ::unlink(m_linkPath.toLocal8Bit().constData());
}

void PtyRelay::wake() {
  const uint64_t one = 1;
  // Nothing to do when the write fails: the counter is full, so the loop wakes anyway.
  if (m_wake >= 0 && ::write(m_wake, &one, sizeof one) < 0) return;
}

void PtyRelay::addFault(const Fault& fault) {
  {
    std::lock_guard lock(m_mutex);
    m_faults.push_back({fault, false});
  }
  wake();
}

void PtyRelay::unplug() {
  {
    std::lock_guard lock(m_mutex);
    m_unplugRequested = true;
  }
  wake();
}

bool PtyRelay::unplugged() const {
  std::lock_guard lock(m_mutex);
  return m_unplugged;
}

void PtyRelay::replug() {
  {
    std::lock_guard lock(m_mutex);
    m_replugRequested = true;
  }
  wake();
}

int PtyRelay::replugs() const {
  std::lock_guard lock(m_mutex);
  return m_replugs;
}

int PtyRelay::pendingFaults() const {
  std::lock_guard lock(m_mutex);
  return int(
      std::count_if(m_faults.begin(), m_faults.end(), [](const Planned& p) { return !p.done; }));
}

qint64 PtyRelay::received(Direction direction) const {
  std::lock_guard lock(m_mutex);
  return stream(direction).received;
}

bool PtyRelay::waitUntilSettled(Direction direction, qint64 count,
                                std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_mutex);
  return m_changed.wait_for(lock, timeout, [&] {
    const Stream& s = stream(direction);
    return s.received >= count && s.queue.empty();
  });
}

void PtyRelay::enqueue(Stream& s, QByteArray bytes, Clock::time_point due, bool unplug,
                       std::chrono::milliseconds away) {
  // Bytes due together leave in one write, as the source sent them.
  if (!unplug && !s.queue.empty() && !s.queue.back().unplug && s.queue.back().due == due)
    s.queue.back().bytes += bytes;
  else
    s.queue.push_back({std::move(bytes), due, unplug, away});
}

void PtyRelay::applyAfter(Direction direction, Clock::time_point now) {
  Stream& s = stream(direction);
  for (Planned& p : m_faults) {
    if (p.done || p.fault.direction != direction || p.fault.at != s.received) continue;
    if (p.fault.kind == Fault::Kind::Append) {
      // Later bytes wait behind these: the line keeps its order.
      const Clock::time_point due = std::max(now + p.fault.duration, s.holdUntil);
      enqueue(s, p.fault.bytes, due);
      s.holdUntil = std::max(s.holdUntil, due);
      p.done = true;
    } else if (p.fault.kind == Fault::Kind::Unplug) {
      enqueue(s, {}, std::max(now, s.holdUntil), true, p.fault.duration);
      p.done = true;
    }
  }
}

void PtyRelay::take(Direction direction, const char* bytes, qsizetype size, Clock::time_point now) {
  Stream& s = stream(direction);
  for (qsizetype i = 0; i < size; ++i) {
    for (Planned& p : m_faults) {
      if (p.done || p.fault.direction != direction || p.fault.at != s.received) continue;
      switch (p.fault.kind) {
        case Fault::Kind::Drop:
          s.dropLeft = std::max(s.dropLeft, p.fault.count);
          break;
        case Fault::Kind::Delay:
          s.holdUntil = std::max(s.holdUntil, now + p.fault.duration);
          break;
        case Fault::Kind::Silence:
          s.silent = true;
          break;
        case Fault::Kind::Mute:
          s.mutedUntil = now + p.fault.duration;
          break;
        case Fault::Kind::Inject:
          enqueue(s, p.fault.bytes, std::max(now, s.holdUntil));
          break;
        case Fault::Kind::Append:
        case Fault::Kind::Unplug:
          continue;  // they apply after the byte before, see applyAfter
      }
      p.done = true;
    }
    if (s.silent || now < s.mutedUntil) {
    } else if (s.dropLeft > 0) {
      --s.dropLeft;
    } else {
      enqueue(s, QByteArray(1, bytes[i]), std::max(now, s.holdUntil));
    }
    ++s.received;
    applyAfter(direction, now);
  }
}

void PtyRelay::closeHostSide() {
  closeFd(m_hostMaster);
  closeFd(m_hostSlave);
  m_unplugged = true;
  stream(Direction::ToHost).queue.clear();
  // The adapter is gone from its name too.
  if (!m_linkPath.isEmpty()) ::unlink(m_linkPath.toLocal8Bit().constData());
}

bool PtyRelay::flush(Direction direction, Clock::time_point now) {
  Stream& s = stream(direction);
  for (;;) {
    if (s.queue.empty() || s.queue.front().due > now) return true;
    if (s.queue.front().unplug) {
      const auto away = s.queue.front().away;
      s.queue.pop_front();
      closeHostSide();
      if (away > std::chrono::milliseconds::zero()) m_replugAt = now + away;
      continue;
    }
    const int fd = direction == Direction::ToBoard ? m_board : m_hostMaster;
    if (fd < 0) {
      s.queue.pop_front();  // the side is gone: as a cut wire
      continue;
    }
    QByteArray& out = s.queue.front().bytes;
    const ssize_t n = ::write(fd, out.constData(), static_cast<size_t>(out.size()));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return false;
      s.queue.pop_front();
      continue;
    }
    out.remove(0, n);
    if (out.isEmpty()) s.queue.pop_front();
  }
}

void PtyRelay::run() {
  char buffer[4096];
  std::unique_lock lock(m_mutex);
  while (!m_stop) {
    const Clock::time_point now = Clock::now();
    if (m_unplugRequested && !m_unplugged) closeHostSide();
    m_unplugRequested = false;
    const bool replugDue = m_replugAt != Clock::time_point{} && now >= m_replugAt;
    if ((m_replugRequested || replugDue) && m_unplugged) {
      QString error;
      if (openHostSide(&error)) ++m_replugs;
    }
    m_replugRequested = false;
    if (replugDue) m_replugAt = {};
    applyAfter(Direction::ToBoard, now);  // faults added at the offset reached
    applyAfter(Direction::ToHost, now);
    const bool boardFull = !flush(Direction::ToBoard, now);
    const bool hostFull = !flush(Direction::ToHost, now);
    m_changed.notify_all();

    int timeout = -1;
    if (m_replugAt != Clock::time_point{})
      timeout = int(std::chrono::ceil<std::chrono::milliseconds>(m_replugAt - now).count());
    for (const Stream& s : m_streams) {
      if (s.queue.empty() || s.queue.front().due <= now) continue;
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(s.queue.front().due - now);
      timeout = timeout < 0 ? int(wait.count()) : std::min(timeout, int(wait.count()));
    }
    pollfd fds[3] = {
        {m_wake, POLLIN, 0},
        {m_hostMaster, static_cast<short>(POLLIN | (hostFull ? POLLOUT : 0)), 0},
        {m_board, static_cast<short>(POLLIN | (boardFull ? POLLOUT : 0)), 0},
    };
    lock.unlock();
    const int ready = ::poll(fds, 3, timeout);
    lock.lock();
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      if (::read(m_wake, &count, sizeof count) < 0) count = 0;
    }
    const Clock::time_point arrived = Clock::now();
    if (m_hostMaster >= 0 && (fds[1].revents & POLLIN)) {
      const ssize_t n = ::read(m_hostMaster, buffer, sizeof buffer);
      if (n > 0) take(Direction::ToBoard, buffer, n, arrived);
    }
    if (m_board >= 0 && (fds[2].revents & POLLIN)) {
      const ssize_t n = ::read(m_board, buffer, sizeof buffer);
      if (n > 0) take(Direction::ToHost, buffer, n, arrived);
      if (n < 0 && errno != EAGAIN && errno != EINTR) closeFd(m_board);  // the board went away
    } else if (m_board >= 0 && (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL))) {
      closeFd(m_board);
    }
  }
}

}  // namespace zrv::fake
