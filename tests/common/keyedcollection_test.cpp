#include "common/keyedcollection.h"

#include <gtest/gtest.h>

#include <QLocale>

#include "common/automationerror.h"
#include "common/numberformat.h"
#include "tests/support/errorof.h"
#include "tests/support/variantprinter.h"

namespace zrv {
namespace {

TEST(KeyedCollection, FindsByKeyWithoutRegardToCaseAndByPosition) {
  KeyedCollection c;
  c.add(Variant(int32_t{7}), u"T0");
  c.add(Variant("x"), u"T0.5");
  c.add(Variant::date(1.5), u"Straße");
  EXPECT_EQ(c.count(), 3u);
  EXPECT_EQ(c.item(u"t0"), Variant(int32_t{7}));
  EXPECT_EQ(c.item(u"T0.5"), Variant("x"));
  EXPECT_EQ(c.item(u"STRAßE"), Variant::date(1.5));
  EXPECT_EQ(c.item(std::size_t{2}), Variant("x"));
  EXPECT_EQ(c.key(std::size_t{1}), QStringLiteral("T0"));
}

TEST(KeyedCollection, Errors) {
  KeyedCollection c;
  c.add(Variant(int32_t{1}), u"Key");
  struct Case {
    const char* name;
    std::function<void()> call;
    int error;
  } cases[] = {
      {"duplicate key in other case", [&] { c.add(Variant(int32_t{2}), u"KEY"); },
       err::kDuplicateKey},
      {"missing key", [&] { (void)c.item(u"nope"); }, err::kInvalidArgument},
      {"position 0", [&] { (void)c.item(std::size_t{0}); }, err::kSubscriptOutOfRange},
      {"position past the end", [&] { (void)c.item(std::size_t{2}); }, err::kSubscriptOutOfRange},
      {"key past the end", [&] { (void)c.key(std::size_t{2}); }, err::kSubscriptOutOfRange},
  };
  for (const auto& tc : cases)
    EXPECT_EQ(errorOf(tc.call), tc.error) << tc.name;
  EXPECT_EQ(c.count(), 1u) << "a refused add leaves the collection as it was";
  EXPECT_EQ(c.item(std::size_t{1}), Variant(int32_t{1}));
}

TEST(KeyedCollection, KeysKeepTheirSpellingAndNonAsciiFoldsToo) {
  KeyedCollection c;
  c.add(Variant(int16_t{1}), u"Ärger");
  c.add(Variant(int16_t{2}), u"k");
  EXPECT_EQ(c.key(1), QStringLiteral("Ärger"));
  EXPECT_TRUE(c.contains(u"ärger"));
  EXPECT_TRUE(c.contains(u"\u212A")) << "the Kelvin sign folds to k";
  EXPECT_EQ(errorOf([&] { c.add(Variant(int16_t{3}), u"ÄRGER"); }), err::kDuplicateKey);
}

TEST(KeyedCollection, MixedValueTypesSurvive) {
  KeyedCollection c;
  c.add(Variant(int32_t{-2}), u"a");
  c.add(Variant(int32_t{3}), u"b");
  c.add(Variant("text"), u"c");  // turns the typed column into a general one
  c.add(Variant(), u"d");
  c.add(Variant(true), u"e");
  EXPECT_EQ(c.item(u"a"), Variant(int32_t{-2}));
  EXPECT_EQ(c.item(u"b"), Variant(int32_t{3}));
  EXPECT_EQ(c.item(u"c"), Variant("text"));
  EXPECT_EQ(c.item(u"d"), Variant());
  EXPECT_EQ(c.item(u"e"), Variant(true));
}

TEST(KeyedCollection, AMillionSampleKeysStaySmallAndFindable) {
  QLocale::setDefault(QLocale::c());
  KeyedCollection stamps;
  constexpr int kCount = 1'000'000;
  const auto key = [](int i) { return QString(QLatin1Char('T') + formatGeneral(i * 5 / 1000.0)); };
  for (int i = 0; i < kCount; ++i)
    stamps.add(Variant::date(46000.0 + i / 86400.0), key(i));
  ASSERT_EQ(stamps.count(), std::size_t(kCount));
  // Keys like "T4999.995" in one block, 8-byte values and a 32-bit index: under 40 bytes an
  // entry even with every buffer at twice its use. One QString per key would cost 60 alone.
  EXPECT_LT(stamps.memoryBytes() / kCount, 48u);
  for (int i = 0; i < kCount; i += 9973)
    EXPECT_EQ(stamps.positionOf(key(i).toLower()), std::size_t(i + 1)) << i;
  EXPECT_EQ(stamps.item(std::size_t{kCount}), Variant::date(46000.0 + (kCount - 1) / 86400.0));
}

TEST(KeyedCollection, ClearEmptiesAndAllowsTheKeysAgain) {
  KeyedCollection c;
  c.add(Variant(int16_t{1}), u"T0");
  c.clear();
  EXPECT_EQ(c.count(), 0u);
  EXPECT_FALSE(c.contains(u"T0"));
  c.add(Variant(int16_t{2}), u"T0");
  EXPECT_EQ(c.item(u"T0"), Variant(int16_t{2}));
}

TEST(KeyedCollection, EntriesAppendedUncheckedAreIndexedWhenALookupNeedsThem) {
  KeyedCollection c;
  c.add(Variant(int16_t{1}), u"first");
  for (int i = 0; i < 5000; ++i)
    c.appendNewText("text " + std::to_string(i), QStringLiteral("T%1").arg(i));
  EXPECT_EQ(c.count(), 5001u);
  EXPECT_EQ(c.item(std::size_t{3}), Variant("text 1"));
  EXPECT_EQ(c.positionOf(u"t4999"), std::size_t{5001}) << "found without regard to case";
  EXPECT_EQ(c.item(u"FIRST"), Variant(int16_t{1}));
  EXPECT_THROW(c.add(Variant(), u"T17"), AutomationError);
  c.appendNewText("late", u"T5000");
  c.add(Variant(true), u"after");
  EXPECT_EQ(c.positionOf(u"T5000"), std::size_t{5002});
  EXPECT_EQ(c.positionOf(u"after"), std::size_t{5003});
  EXPECT_EQ(c.key(5003), QStringLiteral("after"));
}

}  // namespace
}  // namespace zrv
