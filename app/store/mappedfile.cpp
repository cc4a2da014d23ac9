#include "mappedfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/automationerror.h"

namespace zrvlog {

namespace {
std::size_t pageSize() {
  static const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
  return page;
}
std::size_t roundUpToPage(std::size_t bytes) {
  const std::size_t page = pageSize();
  return (bytes + page - 1) / page * page;
}
}  // namespace

MappedFile::~MappedFile() {
  close();
}

void MappedFile::fail(const QString& what, int error) const {
  throw zrv::AutomationError(
      zrv::err::kPathFileAccessError,
      QStringLiteral("%1 %2: %3").arg(what, m_path, QString::fromLocal8Bit(std::strerror(error))));
}

void MappedFile::open(const QString& path, std::size_t maxBytes, bool create) {
  close();
  m_path = path;
  const QByteArray name = QFile::encodeName(path);
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_EXCL : 0);
  m_fd = ::open(name.constData(), flags, 0600);
  if (m_fd < 0)
    fail(create ? QStringLiteral("Cannot create") : QStringLiteral("Cannot open"), errno);
  struct stat st {};
  if (::fstat(m_fd, &st) != 0) {
    const int error = errno;
    close();
    fail(QStringLiteral("Cannot open"), error);
  }
  if (!S_ISREG(st.st_mode)) {
    // A FIFO or a device under a column's name is no column, whatever it would map to.
    close();
    throw zrv::AutomationError(
        zrv::err::kPathFileAccessError,
        QStringLiteral("Cannot open %1: it is not a regular file").arg(path));
  }
  reserveAddressSpace(std::max(maxBytes, std::size_t(st.st_size)));
  // A file left with a partial last page gets it filled with zeros, so that every mapped
  // byte lies inside the file.
  const std::size_t size = roundUpToPage(std::size_t(st.st_size));
  if (size != std::size_t(st.st_size) && ::ftruncate(m_fd, off_t(size)) != 0) {
    const int error = errno;
    close();
    fail(QStringLiteral("Cannot open"), error);
  }
  if (size > 0 &&
      ::mmap(m_base, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, m_fd, 0) == MAP_FAILED) {
    const int error = errno;
    close();
    fail(QStringLiteral("Cannot map"), error);
  }
  m_size = size;
}

void MappedFile::openInMemory(const QString& name, std::size_t maxBytes) {
  close();
  m_path = name;
  reserveAddressSpace(maxBytes);
  m_memory = true;
}

void MappedFile::reserveAddressSpace(std::size_t bytes) {
  m_reserved = roundUpToPage(bytes);
  // Address space only: no memory and no swap is committed for the reservation.
  void* base =
      ::mmap(nullptr, m_reserved, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (base == MAP_FAILED) {
    const int error = errno;
    close();
    fail(QStringLiteral("Cannot map"), error);
  }
  m_base = static_cast<std::byte*>(base);
}

void MappedFile::close() {
  if (m_base) ::munmap(m_base, m_reserved);
  if (m_fd >= 0) ::close(m_fd);
  m_base = nullptr;
  m_fd = -1;
  m_reserved = m_size = 0;
  m_memory = false;
}

void MappedFile::grow(std::size_t bytes) {
  if (bytes > m_reserved)
    throw zrv::AutomationError(zrv::err::kOutOfMemory,
                               QStringLiteral("%1 has reached its size limit").arg(m_path));
  // Grow by half the size, at least 64 KiB and at most 16 MiB at a time: few system calls
  // for a long run, little unused disk for a short one.
  const std::size_t step = std::clamp(m_size / 2, std::size_t(64) << 10, std::size_t(16) << 20);
  const std::size_t size = std::min(m_reserved, roundUpToPage(std::max(bytes, m_size + step)));
  if (m_memory) {
    if (::mprotect(m_base + m_size, size - m_size, PROT_READ | PROT_WRITE) != 0)
      fail(QStringLiteral("Cannot grow"), errno);
    m_size = size;
    return;
  }
  const int error = ::posix_fallocate(m_fd, off_t(m_size), off_t(size - m_size));
  if (error != 0) {
    // Whatever part of the step was allocated goes again: the file keeps its former size.
    [[maybe_unused]] const int ignored = ::ftruncate(m_fd, off_t(m_size));
    fail(QStringLiteral("Cannot write"), error);
  }
  if (::mmap(m_base + m_size, size - m_size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, m_fd,
             off_t(m_size)) == MAP_FAILED)
    fail(QStringLiteral("Cannot map"), errno);
  // The new pages will all be written: faulting them in at once costs a fraction of one
  // fault per page. Only a hint (older systems do without).
  [[maybe_unused]] const int hinted =
      ::madvise(m_base + m_size, size - m_size, MADV_POPULATE_WRITE);
  m_size = size;
}

void MappedFile::prefetch(std::size_t from, std::size_t end) const {
  const std::size_t first = from / pageSize() * pageSize();
  if (m_memory || end <= first) return;
  // Only a hint (older systems do without, and read page by page).
  [[maybe_unused]] const int hinted = ::madvise(m_base + first, end - first, MADV_POPULATE_READ);
}

void MappedFile::shrink(std::size_t bytes) {
  const std::size_t size = roundUpToPage(bytes);
  if (size >= m_size) return;
  ::mmap(m_base + size, m_size - size, PROT_NONE,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  m_size = size;
  if (!m_memory && ::ftruncate(m_fd, off_t(size)) != 0)
    fail(QStringLiteral("Cannot shrink"), errno);
}

bool MappedFile::sync() const {
  return m_fd < 0 || ::fdatasync(m_fd) == 0;
}

void MappedFile::dropResident(std::size_t bytes) const {
  // No look at m_size: the sync thread calls this while the owner may be growing the file,
  // and the caller's bytes lie in the mapped part.
  const std::size_t end = bytes / pageSize() * pageSize();
  // Memory has nowhere else to keep its pages.
  if (end > 0 && !m_memory) ::madvise(m_base, end, MADV_DONTNEED);
}

void MappedFile::truncate() {
  if (m_size == 0) return;
  // The reservation takes the place of the mapping again; the blocks go back to the disk.
  ::mmap(m_base, m_size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  m_size = 0;
  if (!m_memory && ::ftruncate(m_fd, 0) != 0) fail(QStringLiteral("Cannot empty"), errno);
}

}  // namespace zrvlog
