#include "app/graph/labelformat.h"

#include <gtest/gtest.h>

namespace zrvlog {
namespace {

TEST(LabelFormat, PrintfStyleFormatsWithOneNumericConversion) {
  struct Case {
    const char* format;
    double value;
    const char* expected;
  } cases[] = {
      {"%.1f", 2.25, "2.3"},    {"%.1f", -0.04, "-0.0"},
      {"%g", 2.5, "2.5"},       {"%g V", 4.5, "4.5 V"},
      {"%4.0f", 12, "  12"},    {"%4.0f", 1023, "1023"},
      {"%d", 3.6, "4"},         {"%i s", -2.5, "-3 s"},
      {"%05.1f", 2.5, "002.5"}, {"%+.2e", 1234.5, "+1.23e+03"},
      {"%%%.0f%%", 3, "%3%"},   {"%lf", 0.5, "0.500000"},
      {"%.f", 2.6, "3"},
  };
  for (const Case& c : cases) {
    const QString format = QString::fromUtf8(c.format);
    EXPECT_TRUE(isValidLabelFormat(format)) << c.format;
    EXPECT_EQ(formatLabel(format, c.value), QString::fromUtf8(c.expected)) << c.format;
  }
}

TEST(LabelFormat, FormatsThatAreNotOneNumberConversionShowAsG) {
  // Label formats come from data files: none of these may reach the formatter as they are.
  for (const char* format : {"", "V", "100%%", "%s", "%n", "%p", "%c", "%x %d", "%.1f %.2f",
                             "%999999f", "%.99f", "%", "%-", "%.1", "%*d"}) {
    EXPECT_FALSE(isValidLabelFormat(QString::fromUtf8(format))) << format;
    EXPECT_EQ(formatLabel(QString::fromUtf8(format), 2.5), QStringLiteral("2.5")) << format;
  }
}

TEST(LabelFormat, TimeLabels) {
  struct Case {
    double seconds;
    int decimals;
    const char* expected;
  } cases[] = {
      {0, 0, "0:00:00"},       {59.4, 0, "0:00:59"},  {3723, 0, "1:02:03"},
      {-5, 0, "-0:00:05"},     {1.5, 1, "0:00:01.5"}, {86400 + 61, 0, "24:01:01"},
      {-0.0001, 0, "0:00:00"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(formatTimeLabel(c.seconds, c.decimals), QString::fromUtf8(c.expected)) << c.seconds;
}

}  // namespace
}  // namespace zrvlog
