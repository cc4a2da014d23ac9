#pragma once
// The devices a COM number of the port map can be pointed at from the options dialog: the
// simulated board, and the serial devices present on this system. Any other path may be
// typed by hand.

#include <QList>
#include <QString>

namespace zrvlog {

/// The port map's name of the simulated board.
inline const QString kSimulatedDevice = QStringLiteral("sim");

struct DeviceChoice {
  QString device;       ///< "sim" or a device path
  QString description;  ///< what it is, for people
};

/// The simulated board first, then every serial device present (QSerialPortInfo), by path.
QList<DeviceChoice> deviceChoices();

/// A line about a device for the dialog: the simulated board, one of the choices (with its
/// description), another path that exists, or one that does not exist now.
QString describeDevice(const QString& device, const QList<DeviceChoice>& choices);

}  // namespace zrvlog
