#include "board/propertybag.h"

namespace zrv {

SettingsPropertyBag::SettingsPropertyBag(QSettings& settings, QString group)
    : m_settings(settings), m_group(std::move(group)) {}

QString SettingsPropertyBag::path(const QString& key) const {
  return m_group.isEmpty() ? key : m_group + u'/' + key;
}

QVariant SettingsPropertyBag::read(const QString& key, const QVariant& defaultValue) const {
  return m_settings.value(path(key), defaultValue);
}

void SettingsPropertyBag::write(const QString& key, const QVariant& value,
                                const QVariant& defaultValue) {
  if (value == defaultValue)
    m_settings.remove(path(key));
  else
    m_settings.setValue(path(key), value);
}

}  // namespace zrv
