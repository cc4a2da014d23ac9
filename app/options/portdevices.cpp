#include "portdevices.h"

#include <QFileInfo>
#include <QSerialPortInfo>
#include <algorithm>

namespace zrvlog {

namespace {

QString systemDescription(const QSerialPortInfo& info) {
  QStringList parts;
  if (!info.description().isEmpty()) parts << info.description();
  if (!info.manufacturer().isEmpty() && !info.description().contains(info.manufacturer()))
    parts << info.manufacturer();
  return parts.isEmpty() ? QStringLiteral("serial device") : parts.join(QStringLiteral(", "));
}

}  // namespace

QList<DeviceChoice> deviceChoices() {
  QList<DeviceChoice> choices{{kSimulatedDevice, QStringLiteral("simulated board")}};
  QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
  std::sort(ports.begin(), ports.end(), [](const QSerialPortInfo& a, const QSerialPortInfo& b) {
    return a.systemLocation() < b.systemLocation();
  });
  for (const QSerialPortInfo& info : ports)
    choices.push_back({info.systemLocation(), systemDescription(info)});
  return choices;
}

QString describeDevice(const QString& device, const QList<DeviceChoice>& choices) {
  const QString d = device.trimmed();
  if (d == kSimulatedDevice) return QStringLiteral("The simulated board built into the program.");
  if (d.isEmpty()) return {};
  for (const DeviceChoice& choice : choices)
    if (choice.device == d) return choice.description + QStringLiteral(", present.");
  if (QFileInfo::exists(d)) return QStringLiteral("Present.");
  return QStringLiteral("Not present on this system now.");
}

}  // namespace zrvlog
