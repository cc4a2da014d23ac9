#pragma once
// The port map: how a COM port number (1 = COM1) becomes a device on this system.
//
// Every host of the library shares one per-user file, ~/.config/Corvane/ZRV.conf (under
// XDG_CONFIG_HOME when that is set), section [Ports], key COM<n>: a device path such as
// /dev/ttyUSB0, or "sim" for the simulated board. A number the file does not map means
// /dev/ttyS<n-1>. A host may override entries for its own process only (a demo mode maps
// its port to "sim"); overrides win over the file and are never written to it.
// The file is read at every lookup, so a change made by another program applies at the
// next open of a port.
//
// A file that is there but cannot be used (a folder, a FIFO, unreadable, binary data, a
// line that is no INI line) maps nothing: taking it for an empty map would quietly send
// COM3 to /dev/ttyS2, possibly another device. Lookups then give no device and an error
// that names the file and the line; only regular files are opened, and never in a way
// that could block. The file is INI as QSettings writes it; writing keeps its other lines.

#include <QList>
#include <QString>
#include <cstdint>

#include "board/export.h"

namespace zrv::portmap {

/// Where a mapping comes from.
enum class Source {
  Default,  ///< unmapped: /dev/ttyS<n-1>
  File,     ///< the per-user port map file
  Process,  ///< an override of this process
};

struct Entry {
  int16_t commPort = 0;
  QString device;  ///< a device path or "sim"; empty when the port map file cannot be used
  Source source = Source::Default;
  // Written out: the installed header also compiles as C++17.
  friend bool operator==(const Entry& a, const Entry& b) {
    return a.commPort == b.commPort && a.device == b.device && a.source == b.source;
  }
};

/// The port map file in use (it need not exist).
ZRV_EXPORT QString configFile();

/// The device of COM<n> when nothing maps it: /dev/ttyS<n-1>.
ZRV_EXPORT QString defaultDevice(int16_t commPort);

/// The device COM<n> resolves to, and where that comes from. When the number has no
/// override and the file cannot be used, the entry has no device and *error (when given)
/// says why, e.g. "the port map /home/a/.config/Corvane/ZRV.conf, line 2: holds binary
/// data, not text"; otherwise *error is cleared.
ZRV_EXPORT Entry lookup(int16_t commPort, QString* error = nullptr);
/// Shorthand for lookup(n).device: empty when the file cannot be used.
ZRV_EXPORT QString resolve(int16_t commPort);

/// Every mapped number (file and process overrides), ordered by number; numbers that only
/// have their default device are not listed. When the file cannot be used, only the
/// overrides, and *error (when given) says why.
ZRV_EXPORT QList<Entry> entries(QString* error = nullptr);

/// Why the port map file cannot be used; empty when it can (also when it does not exist:
/// it then maps nothing).
ZRV_EXPORT QString fileError();

/// Maps COM<n> (1 to 32767) to a device in the shared file, creating its folder and the
/// file as needed; an empty device removes the entry. Other lines of the file stay as they
/// are. Returns false (with the reason in *error when given) when the file cannot be
/// written, or cannot be used as it is (it is then left alone), or the device holds
/// control characters.
ZRV_EXPORT bool setMapping(int16_t commPort, const QString& device, QString* error = nullptr);

/// Maps COM<n> to a device for this process only; an empty device removes the override.
ZRV_EXPORT void overrideForProcess(int16_t commPort, const QString& device);
/// Removes every override of this process.
ZRV_EXPORT void clearProcessOverrides();

}  // namespace zrv::portmap
