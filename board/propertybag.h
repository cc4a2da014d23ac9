#pragma once
// The stored properties of a ZRVIO: what travels with the host's saved form. A host saves a
// control by handing ZRVIO::writeProperties a bag and restores it with readProperties; the
// bag decides where the values live. SettingsPropertyBag keeps them in a QSettings group.
//
// Only values that differ from their defaults are kept, so a control left at its defaults
// saves nothing, and a later change of a default reaches every form saved without it.

#include <QSettings>
#include <QString>
#include <QVariant>
#include <cstdint>

#include "board/export.h"

namespace zrv {

/// The keys and defaults of the stored properties, in one place.
namespace props {
inline const QString kCommPort = QStringLiteral("CommPort");
inline const QString kTris = QStringLiteral("tris");
inline const QString kPins = QStringLiteral("pins");
inline constexpr int32_t kDefaultCommPort = 1;
inline constexpr int32_t kDefaultTris = 255;
inline constexpr int32_t kDefaultPins = 0;
}  // namespace props

class ZRV_EXPORT PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  /// The value stored under key, or defaultValue when none is.
  virtual QVariant read(const QString& key, const QVariant& defaultValue) const = 0;
  /// Keeps value under key. A value equal to defaultValue is not written, and one written
  /// earlier is removed, so that the bag holds what differs from the defaults only.
  virtual void write(const QString& key, const QVariant& value, const QVariant& defaultValue) = 0;
};

/// A bag in a group of a QSettings store (values as text, as QSettings keeps them).
class ZRV_EXPORT SettingsPropertyBag final : public PropertyBag {
 public:
  /// `settings` (not owned) must outlive the bag; `group` may be empty for the top level.
  SettingsPropertyBag(QSettings& settings, QString group);

  QVariant read(const QString& key, const QVariant& defaultValue) const override;
  void write(const QString& key, const QVariant& value, const QVariant& defaultValue) override;

 private:
  QString path(const QString& key) const;

  QSettings& m_settings;
  QString m_group;
};

}  // namespace zrv
