#include "common/numberformat.h"

#include <gtest/gtest.h>

#include <QLocale>
#include <cmath>

#include "common/automationerror.h"
#include "tests/support/localescope.h"
#include "tests/support/variantprinter.h"

namespace zrv {
namespace {

using zrvtest::LocaleScope;

struct FormatCase {
  double value;
  const char* general;  // user's format in a point locale
  const char* file;     // point, no leading zero
};

TEST(NumberFormat, GeneralAndFileForms) {
  LocaleScope c(QLocale::c());
  const FormatCase cases[] = {
      {0.0, "0", "0"},
      {-0.0, "0", "0"},
      {0.25, "0.25", ".25"},
      {-0.5, "-0.5", "-.5"},
      {0.1 + 0.2, "0.3", ".3"},
      {1.0 / 3.0, "0.333333333333333", ".333333333333333"},
      {1.0 / 30.0, "3.33333333333333E-02", "3.33333333333333E-02"},
      {4.88758553274682E-03, "4.88758553274682E-03", "4.88758553274682E-03"},
      {1023 * 4.88758553274682E-03, "5", "5"},
      {0.0001, "0.0001", ".0001"},
      {1E-05, "1E-05", "1E-05"},
      {-2.5E-07, "-2.5E-07", "-2.5E-07"},
      {1.5E-300, "1.5E-300", "1.5E-300"},
      {100.0, "100", "100"},
      {99.9, "99.9", "99.9"},
      {123456789012345.0, "123456789012345", "123456789012345"},
      {1E+15, "1E+15", "1E+15"},
      {1234567890123456.0, "1.23456789012346E+15", "1.23456789012346E+15"},
      {1E+20, "1E+20", "1E+20"},
      {45678.123456789, "45678.123456789", "45678.123456789"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.general);
    EXPECT_EQ(formatGeneral(tc.value), QLatin1String(tc.general));
    EXPECT_EQ(formatNumber(tc.value, NumberStyle{QLatin1Char('.'), false}), QLatin1String(tc.file));
  }
}

TEST(NumberFormat, GeneralUsesTheUsersSeparator) {
  LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(formatGeneral(0.5), QStringLiteral("0,5"));
  EXPECT_EQ(formatGeneral(4.88758553274682E-03), QStringLiteral("4,88758553274682E-03"));
  EXPECT_EQ(formatPattern(4.9999999999999964, u"0.0 "), QStringLiteral("5,0 "));
}

TEST(NumberFormat, SampleKeysOfAccumulatedTimesAreShort) {
  LocaleScope c(QLocale::c());
  // Times grow by repeated addition of interval / 1000, as a run advances them.
  double t = 0;
  const char* expected[] = {"0",   "0.1", "0.2", "0.3", "0.4", "0.5",
                            "0.6", "0.7", "0.8", "0.9", "1"};
  for (const char* key : expected) {
    EXPECT_EQ(formatGeneral(t), QLatin1String(key));
    t += 100 / 1000.0;
  }
}

TEST(NumberFormat, Patterns) {
  LocaleScope c(QLocale::c());
  struct Case {
    double value;
    const char* pattern;
    const char* text;
  } cases[] = {
      {4.9999999999999964, "0.0 ", "5.0 "},
      {0.0, "0.0", "0.0"},
      {0.25, "0.0", "0.3"},  // half away from zero
      {0.35, "0.0", "0.4"},  // on the decimal form, not the binary one
      {-1.25, "0.0", "-1.3"},
      {-0.04, "0.0", "0.0"},  // no "-0.0"
      {12.34, "0.0", "12.3"},
      {99.95, "0.0", "100.0"},
      {1234.5, "0", "1235"},
      {0.5, "#.##", ".5"},
      {1E+20, "0.0", "100000000000000000000.0"},
      {7.0, "(0.0)", "(7.0)"},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.pattern);
    EXPECT_EQ(formatPattern(tc.value, QString::fromUtf8(tc.pattern)), QLatin1String(tc.text))
        << tc.value;
  }
}

TEST(NumberFormat, LeadingNumber) {
  struct Case {
    const char* text;
    double value;
  } cases[] = {
      {"", 0},    {"abc", 0},     {"12abc", 12}, {"  -3.5e2x", -350}, {".5", 0.5},    {"1e", 1},
      {"1e+", 1}, {"1,5", 1},     {"&H1F", 31},  {"&HFFFF", -1},      {"&O17", 15},   {"-", 0},
      {"+7", 7},  {"100 V", 100}, {"2D3", 2000}, {"\t42", 42},        {"1.5.2", 1.5}, {"&Hzz", 0},
  };
  for (const auto& tc : cases)
    EXPECT_EQ(leadingNumber(QString::fromUtf8(tc.text)), tc.value) << tc.text;
}

TEST(NumberFormat, WholeTextNumbers) {
  LocaleScope c(QLocale::c());
  struct Case {
    const char* text;
    std::optional<double> value;
  } cases[] = {
      {" 12 ", 12.0}, {"1e-3", 0.001}, {"-1", -1.0},  {"+.5", 0.5},  {"5.", 5.0},
      {"", {}},       {"  ", {}},      {"1.5.2", {}}, {"abc", {}},   {"1,5", {}},
      {"12abc", {}},  {"-", {}},       {".", {}},     {"1e400", {}}, {"&H10", 16.0},
  };
  for (const auto& tc : cases)
    EXPECT_EQ(parseNumber(QString::fromUtf8(tc.text)), tc.value) << tc.text;
}

TEST(NumberFormat, WholeTextNumbersInACommaLocale) {
  LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(parseNumber(u"1,5"), 1.5);
  EXPECT_EQ(parseNumber(u"1.5"), 1.5);  // a point is always understood
  EXPECT_EQ(parseNumber(u"-2,5E3"), -2500.0);
  EXPECT_EQ(parseNumber(u"1,5,2"), std::nullopt);
}

TEST(NumberFormat, RoundingTiesToEvenWithOverflow) {
  struct Case {
    double value;
    int expected;  // -999999 marks an overflow
  } cases16[] = {{4.5, 4},         {5.5, 6},           {-2.5, -2},         {0.49, 0},
                 {32767.4, 32767}, {32767.5, -999999}, {-32768.5, -32768}, {1e10, -999999}};
  for (const auto& tc : cases16) {
    if (tc.expected == -999999) {
      try {
        roundToInt16(tc.value);
        ADD_FAILURE() << tc.value << " did not overflow";
      } catch (const AutomationError& e) {
        EXPECT_EQ(e.number(), err::kOverflow);
      }
    } else {
      EXPECT_EQ(roundToInt16(tc.value), tc.expected) << tc.value;
    }
  }
  EXPECT_EQ(roundToInt32(2147483647.4), 2147483647);
  EXPECT_THROW(roundToInt32(2147483647.5), AutomationError);
  EXPECT_EQ(roundToInt32(0.25 * 1000), 250);
  EXPECT_THROW(roundToInt32(std::nan("")), AutomationError);
}

}  // namespace
}  // namespace zrv
