#pragma once
// zrvctl's command line: options, then members of the control to call in turn.
//
//   zrvctl [--port N|sim|DEVICE] MEMBER...
//   zrvctl --map N=DEVICE | --unmap N ...
//
// A member is written as
//   name                 read a property, or call a method without arguments
//   name(a, b)           call a method, or read an indexed property, with arguments
//   name a b             the same, the arguments as the next words (as many as it takes)
//   name=value           assign a property
//   name(i)=value        assign an indexed property
// Values: true/false, whole numbers (decimal, or hex as 0x5A), decimals; other text is
// passed as text, which the member converts as automation does (or refuses with 13).
// Names are case-insensitive. Everything is checked before the link is opened, so a
// mistake anywhere sends nothing.

#include <QString>
#include <QStringList>
#include <stdexcept>
#include <vector>

#include "board/dispatch.h"

namespace zrvctl {

/// A mistake on the command line; nothing has been sent.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const QString& message)
      : std::runtime_error(message.toStdString()), m_message(message) {}
  const QString& message() const { return m_message; }

 private:
  QString m_message;
};

struct Command {
  QString text;  ///< as written, for messages
  const zrv::dispatch::Member* member = nullptr;
  unsigned kind = zrv::dispatch::kMethod;
  std::vector<zrv::Variant> args;
};

/// A change of the per-user port map: COM<n> to a device, or (no device) unmapped.
struct MapChange {
  int16_t commPort = 0;
  QString device;
  friend bool operator==(const MapChange&, const MapChange&) = default;
};

struct Options {
  bool help = false;
  bool version = false;
  bool listPorts = false;
  /// --map and --unmap, in the order given; they are made before --list-ports shows the map.
  std::vector<MapChange> mapChanges;
  /// The COM number the control uses, and the device it stands for in this process only
  /// (empty: the port map decides).
  int16_t commPort = 1;
  QString device;
  std::vector<Command> commands;
};

/// The port of --port: a COM number (1-255), "sim" or a device path.
void parsePort(const QString& text, Options& options);
/// --map's N=DEVICE: a COM number (1-255) and "sim" or an absolute device path.
MapChange parseMapping(const QString& text);
/// --unmap's N.
MapChange parseUnmapping(const QString& text);
/// A value as zrvctl understands it (see above).
zrv::Variant parseValue(const QString& text);
/// Parses the arguments after the program name; throws UsageError.
Options parse(const QStringList& args);

/// The text of --help, with every member of the control.
QString helpText();

}  // namespace zrvctl
