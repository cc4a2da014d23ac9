#pragma once
// Writing a file whole or saying why not: the one path every output of the program takes
// (the data file, the exports, the pictures, the journal).
//
// A name given as an output is first held: the links at its last component are followed
// only where the kernel's protected_symlinks rule would follow them, what it names is sorted
// into a file to replace, a stream to write in place (a FIFO, a character device, a
// descriptor such as standard output) or something refused (a folder, a socket), and an
// advisory lock beside it keeps another program from writing it at the same time. Writing
// then goes through a device whose every write is checked; a file is replaced only once its
// bytes and its name are on the disk (temporary file, fsync, rename, fsync of the folder).
//
// Nothing here opens a dialog; every failure is a text naming the file and the system's
// reason.

#include <sys/types.h>

#include <QIODevice>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace zrvlog {

/// Whether the kernel's protected_symlinks rule lets a link be followed: anywhere but in a
/// sticky world-writable folder, and there only when the link belongs to the folder's owner
/// or to the user following it.
bool linkMayBeFollowed(mode_t folderMode, uid_t folderOwner, uid_t linkOwner, uid_t user);

/// What an output's name stands for.
struct OutputTarget {
  enum class Kind {
    NewFile,      ///< nothing there yet: created through a temporary file
    RegularFile,  ///< replaced through a temporary file
    Stream,       ///< a FIFO, a character device or a descriptor: written in place
    Refused,      ///< see refusal
  };
  QString path;      ///< as given; "-" is standard output
  QString resolved;  ///< the file written, links followed
  Kind kind = Kind::Refused;
  int descriptor = -1;  ///< "-", /dev/stdout, /dev/fd/N: the descriptor written
  bool fifo = false;
  QString refusal;  ///< why it cannot be written, for people
  bool stream() const { return kind == Kind::Stream; }
};

/// Sorts out what path stands for (see above); nothing is created or opened for writing.
OutputTarget classifyOutput(const QString& path);

/// Where a descriptor written in place gets its bytes, and whether to wait: a stream
/// whose reader does not read is waited for until this descriptor is readable (a stop
/// signal's pipe), then given up. -1: wait as long as the reader takes.
void setStopDescriptor(int fd);

/// A device over a descriptor whose every write is checked; a stream is written without
/// blocking the caller for ever (see setStopDescriptor).
class CheckedDevice : public QIODevice {
 public:
  explicit CheckedDevice(int fd);
  bool isSequential() const override { return true; }
  /// The system's errno of the first failed write, 0 while none failed.
  int failure() const { return m_errno; }

 protected:
  qint64 readData(char*, qint64) override { return -1; }
  qint64 writeData(const char* data, qint64 size) override;

 private:
  int m_fd;
  int m_errno = 0;
};

/// Writes bytes to fd whole: false with errno when a write fails (0 bytes written counts as
/// ENOSPC); EINTR is retried and a full non-blocking stream is waited for.
bool writeWhole(int fd, const char* data, std::size_t size);

/// An output held for the length of a run: checked and locked when held, written when the
/// run ends. Destroying it lets go of the lock.
class SafeOutput {
 public:
  SafeOutput();
  ~SafeOutput();
  SafeOutput(const SafeOutput&) = delete;
  SafeOutput& operator=(const SafeOutput&) = delete;

  /// Checks path and takes its lock; why not, for people (another program writes it, it is
  /// a folder, its folder cannot be written...), to follow "Cannot write PATH: ".
  std::optional<QString> hold(const QString& path);
  const OutputTarget& target() const { return m_target; }

  /// What fills the output: returns why it failed, if it did.
  using Fill = std::function<std::optional<QString>(QIODevice& out)>;
  /// Writes the output whole: a file through a temporary one that takes its name only once
  /// everything is on the disk, a stream in place. Why not (the system's reason) if it
  /// fails; a file that was there stays as it was.
  std::optional<QString> write(const Fill& fill);

  /// For a stream written as it goes (the live CSV): the descriptor, opened when first
  /// asked; -1 with why() when it cannot be.
  int streamDescriptor(QString* why);

 private:
  std::optional<QString> writeStream(const Fill& fill);
  std::optional<QString> replaceFile(const Fill& fill);

  OutputTarget m_target;
  int m_lockFd = -1;
  QString m_lockPath;
  int m_streamFd = -1;
  bool m_ownsStream = false;
};

/// Holds path and writes it at once (the window's saves and exports, pictures by name);
/// "Cannot VERB PATH: reason" when it fails.
std::optional<QString> writeOutputFile(const QString& path, const QString& verb,
                                       const SafeOutput::Fill& fill);

/// The file's name for people: "standard output" for "-".
QString outputName(const QString& path);

}  // namespace zrvlog
