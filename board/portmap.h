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
  QString device;  ///< a device path or "sim"
  Source source = Source::Default;
  friend bool operator==(const Entry&, const Entry&) = default;
};

/// The port map file in use (it need not exist).
ZRV_EXPORT QString configFile();

/// The device of COM<n> when nothing maps it: /dev/ttyS<n-1>.
ZRV_EXPORT QString defaultDevice(int16_t commPort);

/// The device COM<n> resolves to, and where that comes from.
ZRV_EXPORT Entry lookup(int16_t commPort);
/// Shorthand for lookup(n).device.
ZRV_EXPORT QString resolve(int16_t commPort);

/// Every mapped number (file and process overrides), ordered by number; numbers that only
/// have their default device are not listed.
ZRV_EXPORT QList<Entry> entries();

/// Maps COM<n> to a device in the shared file; an empty device removes the entry.
/// Returns false (with the reason in *error when given) when the file cannot be written.
ZRV_EXPORT bool setMapping(int16_t commPort, const QString& device, QString* error = nullptr);

/// Maps COM<n> to a device for this process only; an empty device removes the override.
ZRV_EXPORT void overrideForProcess(int16_t commPort, const QString& device);
/// Removes every override of this process.
ZRV_EXPORT void clearProcessOverrides();

}  // namespace zrv::portmap
