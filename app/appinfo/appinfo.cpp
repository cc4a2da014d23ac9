#include "appinfo.h"

#include "zrvlog_version.h"

namespace zrvlog {

Version programVersion() {
  return {ZRVLOG_VERSION_MAJOR, ZRVLOG_VERSION_MINOR, ZRVLOG_VERSION_PATCH};
}

QString versionLabel(Version v) {
  return QStringLiteral("Version %1.%2.%3").arg(v.major).arg(v.minor).arg(v.revision);
}

}  // namespace zrvlog
