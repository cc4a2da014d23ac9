// Test entry point for widget tests: a QApplication on the offscreen platform (set by CTest)
// and a fixed locale so that number formats are the same on every machine.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLocale>

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  QCoreApplication::setOrganizationName(QStringLiteral("ZRVLOG-tests"));
  QLocale::setDefault(QLocale::c());
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
