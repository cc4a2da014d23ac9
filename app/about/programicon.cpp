#include "app/about/programicon.h"

#include <QGuiApplication>

namespace zrvlog {

namespace {
constexpr int kSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};
}

QIcon programIcon() {
  QIcon icon;
  for (int size : kSizes)
    icon.addFile(QStringLiteral(":/zrvlog/icons/zrvlog-%1.png").arg(size), QSize(size, size));
  return icon;
}

QPixmap programPixmap(int size) {
  return programIcon().pixmap(QSize(size, size));
}

void applyDesktopIdentity() {
  QGuiApplication::setWindowIcon(programIcon());
  QGuiApplication::setDesktopFileName(QStringLiteral("zrvlog"));
}

}  // namespace zrvlog
