#include "privatefiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

namespace zrvlog {

namespace {

QByteArray encoded(const QString& path) {
  return QFile::encodeName(path);
}

bool writeAll(int fd, const char* data, qsizetype size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, std::size_t(size));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    size -= n;
  }
  return true;
}

}  // namespace

QString systemError(int error) {
  return QString::fromLocal8Bit(std::strerror(error));
}

std::optional<QString> makePrivateFolder(const QString& folder) {
  const QString parent = QFileInfo(folder).absolutePath();
  if (!QDir().mkpath(parent)) return QStringLiteral("Cannot create the folder %1").arg(parent);
  if (::mkdir(encoded(folder).constData(), 0700) != 0 && errno != EEXIST)
    return QStringLiteral("Cannot create the folder %1: %2").arg(folder, systemError(errno));
  struct stat st {};
  if (::lstat(encoded(folder).constData(), &st) != 0)
    return QStringLiteral("Cannot use the folder %1: %2").arg(folder, systemError(errno));
  if (!S_ISDIR(st.st_mode))
    return QStringLiteral("Cannot use %1: it is not a folder of its own (a link or a file)")
        .arg(folder);
  if (st.st_uid != ::geteuid())
    return QStringLiteral("Cannot use the folder %1: it belongs to another user").arg(folder);
  // A folder made by an older version, or by hand, is made private as well.
  if ((st.st_mode & 077) != 0 && ::chmod(encoded(folder).constData(), 0700) != 0)
    return QStringLiteral("Cannot make the folder %1 private: %2").arg(folder, systemError(errno));
  return std::nullopt;
}

int createPrivateFile(const QString& path) {
  return ::open(encoded(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0600);
}

std::optional<QString> replacePrivateFile(const QString& path, const QByteArray& bytes) {
  QByteArray temporary = encoded(path) + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);  // mode 0600, a new name
  if (fd < 0) return QStringLiteral("Cannot write %1: %2").arg(path, systemError(errno));
  bool written = writeAll(fd, bytes.constData(), bytes.size()) && ::fdatasync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  if (!written || ::rename(temporary.constData(), encoded(path).constData()) != 0) {
    const int why = written ? errno : error;
    ::unlink(temporary.constData());
    return QStringLiteral("Cannot write %1: %2").arg(path, systemError(why));
  }
  return std::nullopt;
}

bool syncFolder(const QString& folder) {
  const int fd = ::open(encoded(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}

}  // namespace zrvlog
