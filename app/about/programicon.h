#pragma once
// The program icon (data/icons/zrvlog.svg, built in as PNG renderings) and the program's
// identity on the desktop.

#include <QIcon>
#include <QPixmap>

namespace zrvlog {

/// The program icon in every size it is drawn in.
QIcon programIcon();

/// The icon as a picture of size x size pixels (device-independent), for the splash window
/// and the about box.
QPixmap programPixmap(int size);

/// Makes every window of the program carry the icon and ties them to the desktop entry
/// zrvlog.desktop, so task bars and application menus show the same icon and name.
void applyDesktopIdentity();

}  // namespace zrvlog
