#pragma once
// MappedFile: a file that grows at its end and is mapped at one fixed address for its whole
// life. The address range for the largest size is reserved when the file is opened and the
// file is mapped into it piece by piece as it grows, so a pointer into the file stays valid
// while the file grows. Growing allocates the disk blocks first (posix_fallocate): a full
// disk or a file-size limit is an error at that moment, never a SIGBUS on a later write.

#include <QString>
#include <cstddef>

namespace zrvlog {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile();
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  /// Opens path (created as a new private file when create is true, else it must exist) with
  /// room for at most maxBytes. Raises error 75 naming the file and the system's reason.
  void open(const QString& path, std::size_t maxBytes, bool create);
  /// The same room in memory instead of a file (named name in messages): for a store the
  /// disk will not take. sync() then has nothing to do and dropResident() keeps the pages.
  void openInMemory(const QString& name, std::size_t maxBytes);
  void close();

  std::byte* data() const { return m_base; }
  /// Bytes of the file mapped (and allocated on disk) so far.
  std::size_t size() const { return m_size; }
  /// Makes at least bytes usable, growing the file by a good step. Raises error 75 when the
  /// disk is full or the file may not grow (the file then keeps its former size), error 7
  /// past maxBytes.
  void reserve(std::size_t bytes) {
    if (bytes > m_size) grow(bytes);
  }
  /// Flushes written pages to the disk; false when the disk refused them.
  bool sync() const;
  /// Lets go of the resident pages below bytes, which must be mapped (they stay in the file
  /// and come back when read), so that a long run does not keep the whole file resident.
  void dropResident(std::size_t bytes) const;
  /// Maps the pages of bytes from to end (which must be mapped) in one step, ahead of a reader
  /// that will read them all: a fault per page, where they were given back, costs much more.
  void prefetch(std::size_t from, std::size_t end) const;
  /// Gives back what the file holds past bytes (rounded up to a page); pointers there are void.
  void shrink(std::size_t bytes);
  /// Empties the file and gives its blocks back to the disk; pointers into it are void.
  void truncate();
  int fd() const { return m_fd; }
  /// The file was given a new name (its folder moved): messages use it from now on.
  void rename(const QString& path) { m_path = path; }
  const QString& path() const { return m_path; }

 private:
  void reserveAddressSpace(std::size_t bytes);
  void grow(std::size_t bytes);
  [[noreturn]] void fail(const QString& what, int error) const;

  QString m_path;
  int m_fd = -1;
  std::byte* m_base = nullptr;
  std::size_t m_reserved = 0;
  std::size_t m_size = 0;
  bool m_memory = false;
};

}  // namespace zrvlog
