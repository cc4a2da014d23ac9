#include "common/automationdate.h"

#include <gtest/gtest.h>

#include <QLocale>

namespace zrv {
namespace {

TEST(AutomationDate, DayCountsBothWays) {
  struct Case {
    QDateTime when;
    double days;
  } cases[] = {
      {QDateTime(QDate(1899, 12, 30), QTime(0, 0)), 0.0},
      {QDateTime(QDate(1899, 12, 31), QTime(12, 0)), 1.5},
      {QDateTime(QDate(1899, 12, 29), QTime(6, 0)), -1.25},
      {QDateTime(QDate(2026, 12, 7), QTime(23, 6, 19)),
       46363 + (23 * 3600 + 6 * 60 + 19) / 86400.0},
  };
  for (const auto& tc : cases) {
    EXPECT_DOUBLE_EQ(toAutomationDate(tc.when), tc.days) << tc.when.toString().toStdString();
    EXPECT_EQ(fromAutomationDate(tc.days), tc.when) << tc.days;
  }
}

TEST(AutomationDate, TimesThatRoundUpToMidnightStartTheNextDay) {
  const double almost = 0.9999999999;  // rounds to 24:00
  EXPECT_EQ(fromAutomationDate(1 + almost), QDateTime(QDate(1900, 1, 1), QTime(0, 0)));
  EXPECT_EQ(fromAutomationDate(-1 - almost), QDateTime(QDate(1899, 12, 30), QTime(0, 0)))
      << "day -1 is 1899-12-29; its last instant rounds forward, not back";
}

TEST(AutomationDate, GeneralDateShowsDateAndTime) {
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
  const double when = toAutomationDate(QDateTime(QDate(2026, 3, 4), QTime(5, 6, 7)));
  EXPECT_EQ(formatGeneralDate(when), QStringLiteral("04/03/2026 05:06:07"));
  EXPECT_EQ(formatGeneralDate(std::trunc(when)), QStringLiteral("04/03/2026"));
  EXPECT_EQ(formatGeneralDate(0.5), QStringLiteral("12:00:00"));
  QLocale::setDefault(QLocale::system());
}

}  // namespace
}  // namespace zrv
