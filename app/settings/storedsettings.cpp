#include "storedsettings.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/numberformat.h"

namespace zrvlog {

namespace {
constexpr char kApplication[] = "ZRVLOG";
constexpr double kTwipsPerInch = 1440.0;

QString recentKey(const char* section, int index) {
  return QString::fromLatin1(section) + QLatin1Char('/') + QString::number(index);
}

// Stored numbers are texts a person may have edited; the whole text must be a number.
std::optional<double> storedNumber(const QVariant& value) {
  if (!value.isValid()) return std::nullopt;
  const QString text = value.toString();
  // Written with a point whatever the locale; read with a point or the user's separator.
  return zrv::parseNumber(text);
}
}  // namespace

StoredSettings::StoredSettings()
    : m_settings(std::make_unique<QSettings>(QString::fromLatin1(kApplication),
                                             QString::fromLatin1(kApplication))) {}

StoredSettings::StoredSettings(const QString& iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat)) {}

double StoredSettings::number(const char* key, double fallback) const {
  const auto n = storedNumber(m_settings->value(QString::fromLatin1(key)));
  return n.value_or(fallback);
}

int16_t StoredSettings::comPort() const {
  const double n = number(settingkeys::kComPort, kDefaultComPort);
  const double r = std::nearbyint(n);
  if (r < 1 || r > std::numeric_limits<int16_t>::max()) return kDefaultComPort;
  return static_cast<int16_t>(r);
}

void StoredSettings::setComPort(int16_t port) {
  m_settings->setValue(QString::fromLatin1(settingkeys::kComPort), QString::number(port));
}

TwipsGeometry StoredSettings::mainGeometry() const {
  TwipsGeometry g;
  g.left = number(settingkeys::kMainLeft, kDefaultMainLeft);
  g.top = number(settingkeys::kMainTop, kDefaultMainTop);
  g.width = number(settingkeys::kMainWidth, kDefaultMainWidth);
  g.height = number(settingkeys::kMainHeight, kDefaultMainHeight);
  // A window without area cannot be used; such values are as good as missing.
  if (g.width <= 0) g.width = kDefaultMainWidth;
  if (g.height <= 0) g.height = kDefaultMainHeight;
  return g;
}

bool StoredSettings::hasMainGeometry() const {
  // A size half given still counts: the missing half takes its default, as ever.
  return number(settingkeys::kMainWidth, 0) > 0 || number(settingkeys::kMainHeight, 0) > 0;
}

void StoredSettings::setMainGeometry(const TwipsGeometry& g) {
  // Single precision (7 digits), as the geometry has always been stored.
  const auto text = [](double v) { return QString::number(v, 'g', 7); };
  m_settings->setValue(QString::fromLatin1(settingkeys::kMainLeft), text(g.left));
  m_settings->setValue(QString::fromLatin1(settingkeys::kMainTop), text(g.top));
  m_settings->setValue(QString::fromLatin1(settingkeys::kMainWidth), text(g.width));
  m_settings->setValue(QString::fromLatin1(settingkeys::kMainHeight), text(g.height));
}

QString StoredSettings::recentCaption(int index) const {
  return m_settings->value(recentKey(settingkeys::kRecentCaptions, index)).toString();
}

QString StoredSettings::recentPath(int index) const {
  return m_settings->value(recentKey(settingkeys::kRecentPaths, index)).toString();
}

void StoredSettings::setRecent(int index, const QString& caption, const QString& path) {
  m_settings->setValue(recentKey(settingkeys::kRecentCaptions, index), caption);
  m_settings->setValue(recentKey(settingkeys::kRecentPaths, index), path);
}

int twipsToPixels(double twips, double logicalDpi) {
  return static_cast<int>(std::lround(twips * logicalDpi / kTwipsPerInch));
}

double pixelsToTwips(int pixels, double logicalDpi) {
  return pixels * kTwipsPerInch / logicalDpi;
}

namespace {
const QString kDefaultsGroup = QStringLiteral("Defaults");
}  // namespace

QMap<QString, QString> StoredSettings::userDefaults() const {
  QMap<QString, QString> values;
  m_settings->beginGroup(kDefaultsGroup);
  for (const QString& key : m_settings->childKeys())
    values.insert(key, m_settings->value(key).toString());
  m_settings->endGroup();
  return values;
}

bool StoredSettings::setUserDefaults(const QMap<QString, QString>& values) {
  m_settings->remove(kDefaultsGroup);
  m_settings->beginGroup(kDefaultsGroup);
  for (auto it = values.cbegin(); it != values.cend(); ++it)
    m_settings->setValue(it.key(), it.value());
  m_settings->endGroup();
  m_settings->sync();
  return m_settings->status() == QSettings::NoError;
}

void StoredSettings::clearUserDefaults() {
  m_settings->remove(kDefaultsGroup);
  m_settings->sync();
}

QString PublishSettings::url() const {
  QString authority = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
  if (!user.isEmpty()) authority.prepend(user + QLatin1Char('@'));
  if (port > 0) authority += QStringLiteral(":%1").arg(port);
  return (tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://")) + authority +
         QLatin1Char('/') + topic;
}

namespace {
const QString kPublishGroup = QStringLiteral("Publish");
}

PublishSettings StoredSettings::publishSettings() const {
  PublishSettings p;
  m_settings->beginGroup(kPublishGroup);
  const auto text = [&](const char* key) {
    return m_settings->value(QLatin1String(key)).toString();
  };
  p.enabled = text("Enabled") == QLatin1String("1");
  p.host = text("Host");
  p.port = std::clamp(text("Port").toInt(), 0, 65535);
  p.topic = text("Topic");
  p.user = text("User");
  p.tls = text("TLS") == QLatin1String("1");
  p.caFile = text("CAFile");
  bool ok = false;
  const int mb = text("OutboxMB").toInt(&ok);
  if (ok && mb >= 1 && mb <= 1048576) p.outboxMB = mb;
  m_settings->endGroup();
  return p;
}

bool StoredSettings::setPublishSettings(const PublishSettings& p) {
  m_settings->beginGroup(kPublishGroup);
  const auto flag = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
  m_settings->setValue(QStringLiteral("Enabled"), flag(p.enabled));
  m_settings->setValue(QStringLiteral("Host"), p.host);
  m_settings->setValue(QStringLiteral("Port"), QString::number(p.port));
  m_settings->setValue(QStringLiteral("Topic"), p.topic);
  m_settings->setValue(QStringLiteral("User"), p.user);
  m_settings->setValue(QStringLiteral("TLS"), flag(p.tls));
  m_settings->setValue(QStringLiteral("CAFile"), p.caFile);
  m_settings->setValue(QStringLiteral("OutboxMB"), QString::number(p.outboxMB));
  m_settings->endGroup();
  m_settings->sync();
  return m_settings->status() == QSettings::NoError;
}

}  // namespace zrvlog
