#include "safewrite.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cerrno>
#include <cstring>

namespace zrvlog {

namespace {

// A FIFO without a reader is waited for this long before the output fails: long enough for
// a reader started by hand, short enough that nothing hangs.
constexpr int kReaderWaitMs = 10000;
constexpr int kMaxLinks = 40;

int g_stopFd = -1;

QByteArray encoded(const QString& path) {
  return QFile::encodeName(path);
}

QString reason(int error) {
  return QString::fromLocal8Bit(std::strerror(error));
}

// Whether the stop descriptor has something to read: the user asked to stop waiting.
bool stopRequested() {
  if (g_stopFd < 0) return false;
  pollfd p{g_stopFd, POLLIN, 0};
  return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

// Waits until fd takes more bytes or the stop descriptor is readable; false with errno
// ECANCELED on a stop.
bool waitWritable(int fd) {
  for (;;) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {g_stopFd, POLLIN, 0}};
    const int n = ::poll(fds, g_stopFd >= 0 ? 2 : 1, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (g_stopFd >= 0 && (fds[1].revents & POLLIN) != 0) {
      errno = ECANCELED;
      return false;
    }
    return true;  // writable, or an error the next write reports
  }
}

// The descriptor a name stands for, if it names one: /dev/stdout, /dev/fd/3...
int descriptorNamed(const QString& path) {
  if (path == QLatin1String("-") || path == QLatin1String("/dev/stdout")) return STDOUT_FILENO;
  if (path == QLatin1String("/dev/stderr")) return STDERR_FILENO;
  static const QRegularExpression fdPath(QStringLiteral("^/(?:dev|proc/self)/fd/(\\d{1,9})$"));
  const auto m = fdPath.match(path);
  return m.hasMatch() ? m.captured(1).toInt() : -1;
}

bool syncFolderOf(const QString& folder) {
  const int fd = ::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int error = errno;
  ::close(fd);
  errno = error;
  return synced;
}

mode_t newFileMode() {
  static const mode_t mask = [] {
    const mode_t m = ::umask(022);
    ::umask(m);
    return m;
  }();
  return 0666 & ~mask;
}

}  // namespace

bool linkMayBeFollowed(mode_t folderMode, uid_t folderOwner, uid_t linkOwner, uid_t user) {
  const bool sharedSticky = (folderMode & S_ISVTX) != 0 && (folderMode & S_IWOTH) != 0;
  return !sharedSticky || linkOwner == folderOwner || linkOwner == user;
}

OutputTarget classifyOutput(const QString& path) {
  OutputTarget t;
  t.path = path;
  if (path.isEmpty()) {
    t.refusal = QStringLiteral("no file name was given");
    return t;
  }
  if (const int fd = descriptorNamed(path); fd >= 0) {
    t.resolved = path;
    t.descriptor = fd;
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_ACCMODE) == O_RDONLY) {
      t.refusal = fd == STDOUT_FILENO
                      ? QStringLiteral("standard output is not open for writing")
                      : QStringLiteral("descriptor %1 is not open for writing").arg(fd);
      return t;
    }
    struct stat st {};
    t.fifo = ::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
    t.kind = OutputTarget::Kind::Stream;
    return t;
  }
  QString current = QFileInfo(path).absoluteFilePath();
  for (int links = 0;; ++links) {
    const QFileInfo info(current);
    const QString folder = info.absolutePath();
    struct stat folderStat {};
    if (::stat(encoded(folder).constData(), &folderStat) != 0 || !S_ISDIR(folderStat.st_mode)) {
      t.refusal = QStringLiteral("the folder %1 does not exist").arg(folder);
      return t;
    }
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    t.resolved = canonicalFolder + QLatin1Char('/') + info.fileName();
    struct stat st {};
    if (::lstat(encoded(current).constData(), &st) != 0) {
      if (errno != ENOENT) {
        t.refusal = reason(errno);
        return t;
      }
      t.kind = OutputTarget::Kind::NewFile;
    } else if (S_ISLNK(st.st_mode)) {
      if (!linkMayBeFollowed(folderStat.st_mode, folderStat.st_uid, st.st_uid, ::geteuid())) {
        t.refusal = QStringLiteral(
                        "%1 is a link that another user put in the shared folder %2; it is not "
                        "followed")
                        .arg(current, folder);
        return t;
      }
      if (links >= kMaxLinks) {
        t.refusal = reason(ELOOP);
        return t;
      }
      QByteArray buffer(PATH_MAX, '\0');
      const ssize_t n = ::readlink(encoded(current).constData(), buffer.data(), PATH_MAX);
      if (n < 0) {
        t.refusal = reason(errno);
        return t;
      }
      const QString raw = QFile::decodeName(buffer.left(n));
      current = QDir::cleanPath(
          raw.startsWith(QLatin1Char('/')) ? raw : canonicalFolder + QLatin1Char('/') + raw);
      continue;
    } else if (S_ISREG(st.st_mode)) {
      t.kind = OutputTarget::Kind::RegularFile;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
      t.kind = OutputTarget::Kind::Stream;
      t.fifo = S_ISFIFO(st.st_mode);
      return t;
    } else {
      t.refusal = S_ISDIR(st.st_mode)    ? QStringLiteral("it is a folder")
                  : S_ISSOCK(st.st_mode) ? QStringLiteral(
                                               "it is a socket; name a file, a FIFO "
                                               "or a character device")
                                         : QStringLiteral(
                                               "it is a block device; it is not "
                                               "written over");
      return t;
    }
    // A file is replaced through a new one beside it: its folder must take new files.
    if (::access(encoded(canonicalFolder).constData(), W_OK) != 0) {
      t.refusal =
          QStringLiteral("the folder %1 cannot be written: %2").arg(canonicalFolder, reason(errno));
      t.kind = OutputTarget::Kind::Refused;
    }
    return t;
  }
}

void setStopDescriptor(int fd) {
  g_stopFd = fd;
}

bool writeWhole(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (!waitWritable(fd)) return false;
      continue;
    }
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    size -= std::size_t(n);
  }
  return true;
}

CheckedDevice::CheckedDevice(int fd) : m_fd(fd) {
  open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

qint64 CheckedDevice::writeData(const char* data, qint64 size) {
  if (m_errno != 0) return -1;
  // A stream that is not ours to make non-blocking (standard output) is written a pipe
  // buffer at a time once it takes more, so that a stop request is noticed between them.
  struct stat st {};
  const bool plain = ::fstat(m_fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
  const bool blocking = (::fcntl(m_fd, F_GETFL) & O_NONBLOCK) == 0;
  qint64 done = 0;
  while (done < size) {
    std::size_t chunk = std::size_t(size - done);
    if (!plain && blocking) {
      if (!waitWritable(m_fd)) break;
      chunk = std::min<std::size_t>(chunk, PIPE_BUF);
    }
    if (!writeWhole(m_fd, data + done, chunk)) break;
    done += qint64(chunk);
  }
  if (done < size) {
    m_errno = errno != 0 ? errno : EIO;
    setErrorString(reason(m_errno));
    return -1;
  }
  return size;
}

SafeOutput::SafeOutput() = default;

SafeOutput::~SafeOutput() {
  if (m_ownsStream && m_streamFd >= 0) ::close(m_streamFd);
  if (m_lockFd >= 0) {
    // Gone before it is let go: a program that opened it meanwhile sees another file.
    ::unlink(encoded(m_lockPath).constData());
    ::close(m_lockFd);
  }
}

std::optional<QString> SafeOutput::hold(const QString& path) {
  m_target = classifyOutput(path);
  if (m_target.kind == OutputTarget::Kind::Refused) return m_target.refusal;
  // Standard output and devices are nobody's to hold; a FIFO is held where its folder lets us.
  if (m_target.descriptor >= 0 || (m_target.stream() && !m_target.fifo)) return std::nullopt;
  const QFileInfo resolved(m_target.resolved);
  m_lockPath = resolved.absolutePath() + QStringLiteral("/.") + resolved.fileName() +
               QStringLiteral(".lock");
  const QByteArray lock = encoded(m_lockPath);
  for (int attempt = 0; attempt < 100; ++attempt) {
    constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(lock.constData(), kFlags);
    if (fd < 0 && errno == ENOENT) fd = ::open(lock.constData(), kFlags | O_CREAT | O_EXCL, 0644);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) {
      if (m_target.fifo) return std::nullopt;  // a FIFO in a folder we may not write to
      return QStringLiteral("its lock %1 cannot be made: %2").arg(m_lockPath, reason(errno));
    }
    struct stat held {
    }, named{};
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
      ::close(fd);
      return QStringLiteral("%1 is in the way of its lock").arg(m_lockPath);
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK)
        return QStringLiteral("another program is writing it (it holds %1)").arg(m_lockPath);
      return QStringLiteral("%1 cannot be locked: %2").arg(m_lockPath, reason(error));
    }
    // The holder before us may have removed the file just before letting go of it.
    if (::lstat(lock.constData(), &named) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino) {
      m_lockFd = fd;
      return std::nullopt;
    }
    ::close(fd);
  }
  return QStringLiteral("%1 cannot be locked").arg(m_lockPath);
}

int SafeOutput::streamDescriptor(QString* why) {
  if (m_streamFd >= 0) return m_streamFd;
  if (m_target.descriptor >= 0) return m_streamFd = m_target.descriptor;
  const QByteArray name = encoded(m_target.resolved);
  for (int waited = 0;; waited += 100) {
    // Non-blocking: a FIFO without a reader fails at once (ENXIO) instead of hanging, and
    // the writes wait only as long as a stop request allows.
    const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      m_ownsStream = true;
      return m_streamFd = fd;
    }
    if (errno != ENXIO || waited >= kReaderWaitMs || stopRequested()) {
      if (why)
        *why = errno == ENXIO
                   ? QStringLiteral("nobody reads the FIFO (waited %1 s)").arg(kReaderWaitMs / 1000)
                   : reason(errno);
      return -1;
    }
    ::usleep(100000);
  }
}

std::optional<QString> SafeOutput::write(const Fill& fill) {
  // What the name stands for now: the file may have appeared or gone since it was held.
  const OutputTarget now = classifyOutput(m_target.path);
  if (now.kind == OutputTarget::Kind::Refused) return now.refusal;
  m_target.kind = now.kind;
  m_target.resolved = now.resolved;
  m_target.fifo = now.fifo;
  return m_target.stream() ? writeStream(fill) : replaceFile(fill);
}

std::optional<QString> SafeOutput::writeStream(const Fill& fill) {
  QString why;
  const int fd = streamDescriptor(&why);
  if (fd < 0) return why;
  std::optional<QString> problem;
  {
    CheckedDevice out(fd);
    problem = fill(out);
    if (!problem && out.failure() != 0) problem = reason(out.failure());
  }
  struct stat st {};
  // Standard output sent to a file (> out.zrv) is that file: it must reach the disk too.
  if (!problem && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::fdatasync(fd) != 0)
    problem = reason(errno);
  if (m_ownsStream) {
    if (::close(fd) != 0 && !problem) problem = reason(errno);
    m_ownsStream = false;
  }
  m_streamFd = -1;
  return problem;
}

std::optional<QString> SafeOutput::replaceFile(const Fill& fill) {
  const QFileInfo resolved(m_target.resolved);
  const QString folder = resolved.absolutePath();
  QByteArray temporary = encoded(folder + QStringLiteral("/.") + resolved.fileName()) + ".XXXXXX";
  const auto failed = [](const QString& why) { return why; };
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0)
    return failed(QStringLiteral("no file can be made in %1: %2").arg(folder, reason(errno)));
  // The new file keeps what the old one had: its permissions and, for root, its owner.
  struct stat old {};
  if (m_target.kind == OutputTarget::Kind::RegularFile &&
      ::stat(encoded(m_target.resolved).constData(), &old) == 0) {
    ::fchmod(fd, old.st_mode & 07777);
    if (::geteuid() == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
      // Root's copy then stays root's; the bytes matter more than the owner.
    }
  } else {
    ::fchmod(fd, newFileMode());
  }
  std::optional<QString> problem;
  {
    CheckedDevice out(fd);
    problem = fill(out);
    if (!problem && out.failure() != 0) problem = reason(out.failure());
  }
  // Each step checked: a disk that fills up shows itself at the sync or the close as often
  // as at a write.
  if (!problem && ::fsync(fd) != 0) problem = reason(errno);
  if (::close(fd) != 0 && !problem) problem = reason(errno);
  if (!problem && ::rename(temporary.constData(), encoded(m_target.resolved).constData()) != 0)
    problem = reason(errno);
  if (problem) {
    ::unlink(temporary.constData());
    return failed(*problem);
  }
  if (!syncFolderOf(folder))
    return failed(QStringLiteral("its folder could not be synced: %1").arg(reason(errno)));
  return std::nullopt;
}

std::optional<QString> writeOutputFile(const QString& path, const QString& verb,
                                       const SafeOutput::Fill& fill) {
  SafeOutput out;
  auto problem = out.hold(path);
  if (!problem) problem = out.write(fill);
  if (problem) return QStringLiteral("Cannot %1 %2: %3").arg(verb, outputName(path), *problem);
  return std::nullopt;
}

QString outputName(const QString& path) {
  return path == QLatin1String("-") ? QStringLiteral("standard output") : path;
}

}  // namespace zrvlog
