#include "board/portmap.h"

#include <QMap>
#include <QMutex>
#include <QSettings>
#include <QStandardPaths>

namespace zrv::portmap {

namespace {

const QString kGroup = QStringLiteral("Ports");

// The overrides of this process; a mutex because hosts may resolve ports on any thread.
struct Overrides {
  QMutex mutex;
  QMap<int16_t, QString> devices;
};

Overrides& overrides() {
  static Overrides o;
  return o;
}

QString keyOf(int16_t commPort) {
  return QStringLiteral("COM%1").arg(commPort);
}

// Same file as QSettings("Corvane", "ZRV") would use, but located at every call: QSettings
// fixes its search paths once per process, and hosts (and tests) may change
// XDG_CONFIG_HOME in between.
QSettings openFile() {
  return QSettings(configFile(), QSettings::IniFormat);
}

}  // namespace

QString configFile() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         QStringLiteral("/Corvane/ZRV.conf");
}

QString defaultDevice(int16_t commPort) {
  return QStringLiteral("/dev/ttyS%1").arg(commPort - 1);
}

Entry lookup(int16_t commPort) {
  {
    Overrides& o = overrides();
    QMutexLocker lock(&o.mutex);
    const auto it = o.devices.constFind(commPort);
    if (it != o.devices.cend()) return {commPort, *it, Source::Process};
  }
  QSettings file = openFile();
  const QString device = file.value(kGroup + u'/' + keyOf(commPort)).toString().trimmed();
  if (!device.isEmpty()) return {commPort, device, Source::File};
  return {commPort, defaultDevice(commPort), Source::Default};
}

QString resolve(int16_t commPort) {
  return lookup(commPort).device;
}

QList<Entry> entries() {
  QMap<int16_t, Entry> byNumber;
  QSettings file = openFile();
  file.beginGroup(kGroup);
  for (const QString& key : file.childKeys()) {
    if (!key.startsWith(QLatin1String("COM"), Qt::CaseInsensitive)) continue;
    bool ok = false;
    const int n = key.mid(3).toInt(&ok);
    const QString device = file.value(key).toString().trimmed();
    if (ok && n > 0 && n <= INT16_MAX && !device.isEmpty())
      byNumber.insert(static_cast<int16_t>(n), {static_cast<int16_t>(n), device, Source::File});
  }
  {
    Overrides& o = overrides();
    QMutexLocker lock(&o.mutex);
    for (auto it = o.devices.cbegin(); it != o.devices.cend(); ++it)
      byNumber.insert(it.key(), {it.key(), it.value(), Source::Process});
  }
  return byNumber.values();
}

bool setMapping(int16_t commPort, const QString& device, QString* error) {
  QSettings file = openFile();
  const QString key = kGroup + u'/' + keyOf(commPort);
  if (device.trimmed().isEmpty())
    file.remove(key);
  else
    file.setValue(key, device.trimmed());
  file.sync();
  if (file.status() == QSettings::NoError) return true;
  if (error) *error = QStringLiteral("cannot write the port map %1").arg(configFile());
  return false;
}

void overrideForProcess(int16_t commPort, const QString& device) {
  Overrides& o = overrides();
  QMutexLocker lock(&o.mutex);
  if (device.trimmed().isEmpty())
    o.devices.remove(commPort);
  else
    o.devices.insert(commPort, device.trimmed());
}

void clearProcessOverrides() {
  Overrides& o = overrides();
  QMutexLocker lock(&o.mutex);
  o.devices.clear();
}

}  // namespace zrv::portmap
