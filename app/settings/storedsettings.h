#pragma once
// The program's per-user settings: QSettings "ZRVLOG"/"ZRVLOG" (~/.config/ZRVLOG/ZRVLOG.conf),
// every value stored as text. Sections, keys and defaults are declared here once; start-up,
// the options dialog, the recent-file list and the tests all go through these functions.

#include <QMap>
#include <QRect>
#include <QSettings>
#include <QString>
#include <cstdint>
#include <memory>

namespace zrvlog {

namespace settingkeys {
inline constexpr char kComPort[] = "COM/Port";
inline constexpr char kMainLeft[] = "Settings/MainLeft";
inline constexpr char kMainTop[] = "Settings/MainTop";
inline constexpr char kMainWidth[] = "Settings/MainWidth";
inline constexpr char kMainHeight[] = "Settings/MainHeight";
inline constexpr char kRecentCaptions[] = "MRU";  // keys "1" to "4"
inline constexpr char kRecentPaths[] = "MRUTag";
}  // namespace settingkeys

inline constexpr int16_t kDefaultComPort = 1;
/// The window's place and size in twips (1/1440 inch) before anything was stored.
inline constexpr double kDefaultMainLeft = 1000, kDefaultMainTop = 1000;
inline constexpr double kDefaultMainWidth = 6500, kDefaultMainHeight = 6500;

/// Window geometry in twips, as stored.
struct TwipsGeometry {
  double left = kDefaultMainLeft;
  double top = kDefaultMainTop;
  double width = kDefaultMainWidth;
  double height = kDefaultMainHeight;
};

/// Publishing to a broker, as the Options dialog's Publish page keeps it (section "Publish").
/// The password is never here: it lives in the user's private password file or the
/// environment, as for the command line.
struct PublishSettings {
  bool enabled = false;
  QString host;
  int port = 0;  ///< 0: the protocol's own (1883, or 8883 with TLS)
  QString topic;
  QString user;
  bool tls = false;
  QString caFile;  ///< a private CA (TLS only); empty: the system's CAs
  int outboxMB = 1024;
  /// mqtt[s]://[USER@]HOST[:PORT]/TOPIC
  QString url() const;
};

class StoredSettings {
 public:
  /// The user's settings store.
  StoredSettings();
  /// A store in a given file, for tests and for tools that keep their own.
  explicit StoredSettings(const QString& iniPath);

  /// "COM"/"Port" as a 16-bit number; a missing or non-numeric value gives the default 1.
  int16_t comPort() const;
  void setComPort(int16_t port);

  /// The stored window geometry; each missing or non-numeric value falls back on its own.
  TwipsGeometry mainGeometry() const;
  /// Whether a usable window size is stored (a first start has none).
  bool hasMainGeometry() const;
  void setMainGeometry(const TwipsGeometry& geometry);

  /// A recent-file entry (1-4): caption from "MRU", path from "MRUTag"; empty when missing.
  QString recentCaption(int index) const;
  QString recentPath(int index) const;
  void setRecent(int index, const QString& caption, const QString& path);

  /// The user's own defaults (section "Defaults"): setting name to text; empty when none.
  QMap<QString, QString> userDefaults() const;
  /// Replaces them; false when the store could not be written.
  bool setUserDefaults(const QMap<QString, QString>& values);
  void clearUserDefaults();

  PublishSettings publishSettings() const;
  /// False when the store could not be written.
  bool setPublishSettings(const PublishSettings& publish);

  void sync() { m_settings->sync(); }

 private:
  double number(const char* key, double fallback) const;
  std::unique_ptr<QSettings> m_settings;
};

/// Twips to device-independent pixels and back, at the screen's logical resolution.
int twipsToPixels(double twips, double logicalDpi);
double pixelsToTwips(int pixels, double logicalDpi);

}  // namespace zrvlog
