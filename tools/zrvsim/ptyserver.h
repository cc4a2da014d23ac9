#pragma once
// Serves a SimBoard on the master side of a pseudo-terminal. Hosts open the slave side like
// any serial device. The server keeps a slave descriptor of its own open, so a host may
// close and reopen the device without the master seeing a hang-up.
//
// Paced, every byte occupies the wire for 10 bit times at 57,600 baud (173.6 us): received
// bytes are taken in at that rate and replies leave at it, both on absolute deadlines so
// that timing errors do not add up; the last 50 us before each byte's time are spent
// watching the clock (a sleep can end that much late), so pacing costs up to a third of a
// core while bytes flow. Replies also wait for the board to finish what it was asked to
// spend time on (a count's duration, a pulse, a tone). Unpaced, replies are written as soon
// as they exist.
//
// With an EEPROM file the board starts with its contents and every change is written back
// at once (through a temporary file and a rename, so a crash never leaves half an image).

#include <QString>
#include <csignal>

#include "board/simboard.h"

namespace zrvsim {

class PtyServer {
 public:
  PtyServer() = default;
  ~PtyServer();
  PtyServer(const PtyServer&) = delete;
  PtyServer& operator=(const PtyServer&) = delete;

  /// Creates the pseudo-terminal; false with *error set on failure.
  bool create(QString* error);
  /// The slave device hosts open, e.g. /dev/pts/4.
  QString devicePath() const { return m_path; }
  /// Keeps the EEPROM in a file of 256 bytes: loads it when it exists (false with *error
  /// set when it is not such a file), and writes every change back.
  bool useEepromFile(const QString& path, QString* error);
  /// Serves until `stop` becomes non-zero (set from a signal handler). SIGINT and SIGTERM
  /// must be blocked by the caller; they are let through only while the server waits.
  /// Returns 0, or 1 after an I/O error (printed to stderr).
  int serve(bool paced, const volatile std::sig_atomic_t& stop);
  /// The board's clock: the time since serve() began (the default), or the system's
  /// monotonic clock itself (seconds since boot), so that another process can tell what
  /// each test signal carried at any moment.
  void setBootClock(bool on) { m_bootClock = on; }

 private:
  int m_master = -1;
  int m_slave = -1;
  void saveEeprom();

  QString m_path;
  zrv::SimBoard m_board;
  QString m_eepromFile;
  uint64_t m_savedWrites = 0;
  bool m_saveFailed = false;
  bool m_bootClock = false;
};

}  // namespace zrvsim
