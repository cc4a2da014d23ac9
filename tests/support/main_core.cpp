// Test entry point for code that needs Qt Core only: an application object for event loops,
// timers and QSettings, and a fixed locale so that number formats are the same on every machine.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLocale>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("ZRVLOG-tests"));
  QLocale::setDefault(QLocale::c());
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
