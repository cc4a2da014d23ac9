#pragma once
// The program's name and version, as the splash window, the about box and every message
// box title show them.

#include <QString>

namespace zrvlog {

/// The application title: window captions and the titles of message boxes.
inline const QString kAppTitle = QStringLiteral("ZRVLOG");

struct Version {
  int major;
  int minor;
  int revision;
};

/// This build's version (from the project's version number).
Version programVersion();

/// "Version 1.1.0": the label the splash window and the about box show.
QString versionLabel(Version version);

}  // namespace zrvlog
