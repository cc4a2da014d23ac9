#include "common/variant.h"

#include <gtest/gtest.h>

#include <QLocale>

#include "common/automationerror.h"
#include "tests/support/errorof.h"
#include "tests/support/variantprinter.h"

namespace zrv {
namespace {

TEST(Variant, ArithmeticWidensAsNeeded) {
  struct Case {
    const char* name;
    Variant result;
    Variant expected;
  } cases[] = {
      {"Integer + Integer", Variant(int16_t{2}) + Variant(int16_t{3}), Variant(int16_t{5})},
      {"Integer overflow widens", Variant(int16_t{32767}) + Variant(int16_t{1}),
       Variant(int32_t{32768})},
      {"Long overflow widens", Variant(int32_t{2147483647}) + Variant(int16_t{1}),
       Variant(2147483648.0)},
      {"Integer * Integer", Variant(int16_t{300}) * Variant(int16_t{300}), Variant(int32_t{90000})},
      {"Empty + Empty", Variant() + Variant(), Variant(int16_t{0})},
      {"Empty * Double", Variant() * Variant(2.5), Variant(0.0)},
      {"Text * Integer", Variant("2") * Variant(int16_t{3}), Variant(6.0)},
      {"Double + Text", Variant(1.5) + Variant("1e-3"), Variant(1.501)},
      {"Text + Text joins", Variant("a") + Variant("b"), Variant("ab")},
      {"Empty + Text joins", Variant() + Variant("b"), Variant("b")},
      {"Division gives a double", Variant(int16_t{4}) / Variant(int16_t{2}), Variant(2.0)},
      {"Division of integers", Variant(int16_t{1}) / Variant(int16_t{2}), Variant(0.5)},
      {"Boolean counts -1", Variant(true) + Variant(int16_t{1}), Variant(int16_t{0})},
      {"Date + days", Variant::date(100.0) + Variant(int16_t{1}), Variant::date(101.0)},
      {"Date - Date", Variant::date(100.5) - Variant::date(100.0), Variant(0.5)},
      {"Concatenation of number", Variant::concat(Variant(int32_t{2}), Variant(" ms")),
       Variant("2 ms")},
  };
  for (const auto& tc : cases)
    EXPECT_EQ(tc.result, tc.expected) << tc.name << ": " << describe(tc.result).toStdString();
}

TEST(Variant, HornerOfTheStartUpCalibration) {
  // The tick evaluates a4..a0 on the averaged count; empty and integer coefficients widen.
  const Variant coefs[5] = {Variant(int16_t{0}), Variant(4.88758553274682E-03), Variant(),
                            Variant("0"), Variant(int16_t{0})};
  const Variant raw = Variant(int32_t{1023}) / Variant(int16_t{1});
  Variant acc = coefs[4];
  for (int k = 3; k >= 0; --k)
    acc = acc * raw + coefs[k];
  EXPECT_EQ(acc.type(), VarType::Double);
  EXPECT_EQ(acc.doubleValue(), 4.9999999999999964);
}

TEST(Variant, ConversionErrors) {
  EXPECT_EQ(errorOf([] { (void)(Variant("abc") * Variant(int16_t{1})); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { (void)(Variant(1.0) / Variant()); }), err::kDivisionByZero);
  EXPECT_EQ(errorOf([] { (void)(Variant(int16_t{0}) / Variant(int16_t{0})); }),
            err::kDivisionByZero);
  EXPECT_EQ(errorOf([] { (void)(Variant(1e308) * Variant(10.0)); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { (void)Variant(40000.0).toInteger(); }), err::kOverflow);
  EXPECT_EQ(errorOf([] { (void)Variant("x").toLong(); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { (void)Variant::missing().toDouble(); }), err::kTypeMismatch);
  EXPECT_EQ(errorOf([] { (void)Variant("maybe").toBool(); }), err::kTypeMismatch);
}

TEST(Variant, Conversions) {
  QLocale::setDefault(QLocale::c());
  EXPECT_EQ(Variant("4.5").toInteger(), 4);
  EXPECT_EQ(Variant(" 5.5 ").toLong(), 6);
  EXPECT_EQ(Variant().toDouble(), 0.0);
  EXPECT_EQ(Variant(true).toDouble(), -1.0);
  EXPECT_TRUE(Variant("True").toBool());
  EXPECT_FALSE(Variant("0").toBool());
  EXPECT_EQ(Variant(int16_t{0}).toText(), QStringLiteral("0"));
  EXPECT_EQ(Variant(false).toText(), QStringLiteral("False"));
  EXPECT_EQ(Variant(0.25).toText(), QStringLiteral("0.25"));
  EXPECT_EQ(Variant().toText(), QString());
}

TEST(Variant, EmptyTextComparisons) {
  EXPECT_TRUE(Variant().isEmptyText());
  EXPECT_TRUE(Variant("").isEmptyText());
  EXPECT_FALSE(Variant(" ").isEmptyText());
  EXPECT_FALSE(Variant(int16_t{0}).isEmptyText());
  EXPECT_FALSE(Variant::date(0).isEmptyText());
}

TEST(Variant, IdentityComparesTypeAndValue) {
  EXPECT_EQ(Variant(int16_t{1}), Variant(int16_t{1}));
  EXPECT_NE(Variant(int16_t{1}), Variant(int32_t{1}));
  EXPECT_NE(Variant(1.0), Variant::date(1.0));
  EXPECT_NE(Variant(), Variant(""));
  EXPECT_EQ(Variant::missing(), Variant::missing());
}

}  // namespace
}  // namespace zrv
