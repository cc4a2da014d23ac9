// Field encodings of the data file, the reader's tokenizer, the text decoding and the fast
// number and date texts (against the general conversions they stand in for).
#include "app/documents/fieldio.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QTimeZone>
#include <optional>
#include <random>

#include "app/documents/numbertext.h"
#include "app/documents/textcodec.h"
#include "common/automationdate.h"
#include "common/automationerror.h"
#include "common/numberformat.h"
#include "tests/documents/documentfixture.h"
#include "tests/support/errorof.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;

// Writes one line of fields through the real writer.
template <class F>
std::string line(F&& fill) {
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  {
    ByteWriter bytes(buffer);
    FieldWriter w(bytes);
    fill(w);
    w.endLine();
    bytes.flush();
  }
  return buffer.data().toStdString();
}

double days(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
  return zrv::toAutomationDate(QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms)));
}

TEST(FieldEncoding, DoublesInTheFileForm) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {0.25, ".25"},
      {1E-05, "1E-05"},
      {-0.5, "-.5"},
      {1E+20, "1E+20"},
      {0.0, "0"},
      {100.0, "100"},
      {-1234.5, "-1234.5"},
      {0.001, ".001"},
      {0.0001, ".0001"},
      {0.00009, "9E-05"},
      {kVoltsPerCount, "4.88758553274682E-03"},
      {1.0 / 3, ".333333333333333"},
      {2.0 / 3, ".666666666666667"},
      {123456789012345.0, "123456789012345"},
      {1E+15, "1E+15"},
      {0.1 + 0.2, ".3"},
      {-1.5E-300, "-1.5E-300"},
  };
  for (const auto& c : cases) {
    char buf[kNumberTextCapacity];
    EXPECT_EQ(std::string(buf, formatFileDouble(buf, c.value)), c.text) << c.value;
    EXPECT_EQ(line([&](FieldWriter& w) { w.real(c.value); }), std::string(c.text) + "\r\n");
  }
}

TEST(FieldEncoding, FastNumberTextEqualsTheGeneralFormat) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-30, 30);
  const struct {
    const char* separatorUtf8;
    QChar separator;
  } styles[] = {{".", u'.'}, {",", u','}, {"\xD9\xAB", QChar(0x066B)}};
  for (int i = 0; i < 200000; ++i) {
    double v = mantissa(rng) * std::pow(10.0, exponent(rng));
    if (i % 7 == 0) v = std::round(v * 1000) / 1000;  // short decimals too
    for (const auto& style : styles) {
      for (bool leadingZero : {true, false}) {
        char buf[kNumberTextCapacity];
        const std::size_t n = formatNumberTo(buf, v, style.separatorUtf8, leadingZero);
        ASSERT_EQ(
            std::string(buf, n),
            zrv::formatNumber(v, zrv::NumberStyle{style.separator, leadingZero}).toStdString())
            << v;
      }
    }
  }
}

TEST(FieldEncoding, FieldsByType) {
  const struct {
    Variant value;
    const char* text;
  } cases[] = {
      {Variant("Pressure, run 2"), "\"Pressure, run 2\""},
      {Variant(QStringLiteral("µV \u20AC")), "\"\xC2\xB5V \xE2\x82\xAC\""},
      {Variant(QString()), "\"\""},
      {Variant(int16_t{-5}), "-5"},
      {Variant(int32_t{2000000000}), "2000000000"},
      {Variant(true), "#TRUE#"},
      {Variant(false), "#FALSE#"},
      {Variant(0.25), ".25"},
      {Variant::date(days(2024, 3, 5, 13, 4, 5)), "#2024-03-05 13:04:05#"},
      {Variant::date(days(2024, 3, 5, 13, 4, 5, 499)), "#2024-03-05 13:04:05#"},
      {Variant::date(days(2024, 3, 5, 23, 59, 59, 999)), "#2024-03-05 23:59:59#"},
      {Variant::date(days(1999, 12, 31, 0, 0, 0)), "#1999-12-31 00:00:00#"},
      {Variant::date(-1.25), "#1899-12-29 06:00:00#"},
      {Variant(), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(zrv::describe(c.value).toStdString());
    EXPECT_EQ(line([&](FieldWriter& w) { w.variant(c.value); }), std::string(c.text) + "\r\n");
  }
  EXPECT_EQ(line([](FieldWriter& w) {
              w.whole(1);
              w.variant(Variant());
              w.boolean(true);
              w.variant(Variant());
            }),
            "1,,#TRUE#,\r\n")
      << "an empty variant writes nothing between its separators";
}

TEST(FieldEncoding, ATextIsWrittenUpToItsFirstQuote) {
  // Written whole, 'say "hi", bye' would be read as "say " plus a field ' bye"'.
  EXPECT_EQ(line([](FieldWriter& w) {
              w.text(u"say \"hi\", bye");
              w.whole(7);
            }),
            "\"say \",7\r\n");
  EXPECT_EQ(line([](FieldWriter& w) { w.text(u"Run \"A\" fast"); }), "\"Run \"\r\n")
      << "what a reader gets of it";
}

TEST(FieldEncoding, DatesReadBackFromTheFileForm) {
  const struct {
    const char* text;
    double days;
  } cases[] = {
      {"2024-03-05 13:04:05", days(2024, 3, 5, 13, 4, 5)},
      {"1999-12-31", days(1999, 12, 31, 0, 0, 0)},
      {"12:00:00", 0.5},
      {"1899-12-29 06:00:00", -1.25},
  };
  for (const auto& c : cases) {
    const auto d = parseFileDate(c.text);
    ASSERT_TRUE(d.has_value()) << c.text;
    EXPECT_NEAR(*d, c.days, 1e-9) << c.text;
  }
  for (const char* bad : {"2024-02-30 00:00:00", "2024-03-05 24:00:00", "hello", "2024-03-05T1"})
    EXPECT_FALSE(parseFileDate(bad).has_value()) << bad;
}

// Reads every field of a text as variants.
std::vector<Variant> readAll(std::string_view text) {
  FieldReader r(text);
  std::vector<Variant> out;
  while (!r.atEnd())
    out.push_back(r.toVariant(r.next()));
  return out;
}

TEST(FieldReading, FieldsAsTheyAreRead) {
  const struct {
    const char* text;
    std::vector<Variant> fields;
  } cases[] = {
      {"\"a,b\",12,-40000,3000000000,.25\r\n",
       {Variant("a,b"), Variant(int16_t{12}), Variant(int32_t{-40000}), Variant(3e9),
        Variant(0.25)}},
      {"  \"x\" dropped,#TRUE#,#false#,,\r\n\"end\"",
       {Variant("x"), Variant(true), Variant(false), Variant(), Variant(), Variant("end")}},
      {"#2024-03-05 13:04:05#,#nonsense#,1E-05,-.5\n",
       {Variant::date(days(2024, 3, 5, 13, 4, 5)), Variant("#nonsense#"), Variant(1e-5),
        Variant(-0.5)}},
      {"a line\r\n\r\nafter an empty one",
       {Variant("a line"), Variant(), Variant("after an empty one")}},
      {"\"split\r\nover lines\",&H10\r", {Variant("split\r\nover lines"), Variant(16.0)}},
      {"\xEF\xBB\xBF\"1.0\"", {Variant("1.0")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(readAll(c.text), c.fields);
  }
}

TEST(FieldReading, PastTheEndIsError62AndLinesAreCounted) {
  FieldReader r("1,2\r\n\"three\r\nstill three\"\r\n4");
  EXPECT_EQ(r.next().line, 1);
  EXPECT_EQ(r.next().line, 1);
  EXPECT_EQ(r.next().line, 2);
  EXPECT_EQ(r.next().line, 4);
  EXPECT_TRUE(r.atEnd());
  try {
    r.next();
    FAIL() << "no error at the end";
  } catch (const zrv::AutomationError& e) {
    EXPECT_EQ(e.number(), zrv::err::kInputPastEndOfFile);
  }
}

TEST(FieldReading, NumbersWithAPointOrTheUsersSeparator) {
  zrvtest::LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
  FieldReader r("\"2,5\",\"2.5\",\"-1,25E+02\",\" 7 \",\"x\",\"\"");
  EXPECT_EQ(r.toDouble(r.next()), 2.5);
  EXPECT_EQ(r.toDouble(r.next()), 2.5);
  EXPECT_EQ(r.toDouble(r.next()), -125.0);
  EXPECT_EQ(r.toDouble(r.next()), 7.0);
  EXPECT_THROW(r.toDouble(r.next()), zrv::AutomationError);
  EXPECT_THROW(r.toDouble(r.next()), zrv::AutomationError);
}

TEST(FieldReading, FieldsLongerThanTheLimitAreRefused) {
  const std::size_t max = kMaxFieldBytes;
  const auto text = [](std::size_t n, char c = 'x') { return std::string(n, c); };
  const struct {
    const char* name;
    std::string input;
    std::optional<std::size_t> length;  // of the first field's text; nothing: refused
  } cases[] = {
      {"bare, at the limit", text(max) + ",y", max},
      {"bare, one byte over", text(max + 1) + ",y", std::nullopt},
      {"bare, at the limit at the end", text(max), max},
      {"bare, over the limit at the end", text(max + 1), std::nullopt},
      {"quoted, at the limit", "\"" + text(max - 2) + "\"\r\n", max - 2},
      {"quoted, one byte over", "\"" + text(max - 1) + "\"\r\n", std::nullopt},
      {"quoted, then dropped bytes past the limit", "\"a\"" + text(max) + ",", std::nullopt},
      {"an open quote to the end", "\"" + text(max - 1), max - 1},
      {"an open quote past the limit", "\"" + text(max), std::nullopt},
      {"a quote closed past the limit", "\"" + text(max - 1) + ",\",", std::nullopt},
      {"blanks, at the limit", text(max, ' ') + ",", 0},
      {"blanks, over the limit", text(max + 1, ' ') + ",", std::nullopt},
      {"the limit is per field", "a," + text(max), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FieldReader r(c.input);
    try {
      const Field f = r.next();
      ASSERT_TRUE(c.length.has_value()) << "read a field of " << f.text.size() << " bytes";
      EXPECT_EQ(f.text.size(), *c.length);
      while (!r.atEnd())
        r.next();
    } catch (const zrv::AutomationError& e) {
      ASSERT_FALSE(c.length.has_value()) << e.message().toStdString();
      EXPECT_EQ(e.number(), zrv::err::kOverflow);
      EXPECT_TRUE(e.message().contains(QStringLiteral("64 KiB"))) << e.message().toStdString();
      EXPECT_LT(e.message().size(), 100) << "quotes only the start of the field";
    }
  }
}

TEST(FieldReading, MessagesQuoteTheStartOfAValue) {
  const QString ellipsis(QChar(0x2026));
  const QString forty(kExcerptCharacters, u'x');
  const struct {
    QString text;
    QString shown;
  } cases[] = {
      {QStringLiteral("short"), QStringLiteral("short")},
      {forty, forty},
      {forty + u'y', forty + ellipsis},
      {QStringLiteral("a\tb") + QChar(0) + u'c', QStringLiteral("a\uFFFDb\uFFFDc")},
      {forty.left(39) + QStringLiteral("\U0001F600"), forty.left(39) + ellipsis},
  };
  for (const auto& c : cases)
    EXPECT_EQ(excerpt(QStringView(c.text)), c.shown) << c.text.toStdString();
  const std::string utf8 = std::string(100, 'a') + "\xC3\xA9";
  EXPECT_EQ(excerpt(std::string_view("\x80 \xC3\xA9")), QStringLiteral("\u20AC \u00E9"));
  EXPECT_EQ(excerpt(std::string_view(utf8)), QString(40, u'a') + ellipsis);
  zrvtest::LocaleScope c(QLocale::c());
  const std::string notANumber = "\"" + std::string(1000, '9') + "x\"";
  FieldReader r(notANumber);
  EXPECT_EQ(zrv::messageOf([&] { r.toDouble(r.next()); }),
            QStringLiteral("Type mismatch: \"") + QString(40, u'9') + ellipsis +
                QStringLiteral("\" is not a number"));
}

TEST(FieldReading, ParsedNumbersMatchTheGeneralParser) {
  const char* texts[] = {"0",      "-0",
                         "+3",     ".5",
                         "5.",     "1e3",
                         "1D3",    "1E+400",
                         "1E-400", "1e",
                         "--1",    "1.2.3",
                         "&HFF",   "&O17",
                         " 42 ",   "",
                         "-",      ".",
                         "1,5",    "nan",
                         "inf",    "0x10",
                         "12abc",  "1E-05",
                         "-.5E1",  "99999999999999999999"};
  for (const char* locale : {"C", "de_DE"}) {
    zrvtest::LocaleScope scope{QLocale(QString::fromLatin1(locale))};
    const std::string sep = userSeparatorUtf8();
    for (const char* t : texts) {
      const auto fast = parseNumberBytes(t, sep == "." ? std::string() : sep);
      const auto general = zrv::parseNumber(QString::fromLatin1(t));
      EXPECT_EQ(fast, general) << locale << " \"" << t << "\"";
    }
  }
}

TEST(TextDecoding, Utf8AndWindows1252) {
  const struct {
    const char* bytes;
    QString text;
  } cases[] = {
      {"plain", QStringLiteral("plain")},
      {"\xC2\xB5V \xE2\x82\xAC \xF0\x9F\x93\x88", QStringLiteral("µV € \U0001F4C8")},
      {"\x80 \x93quoted\x94 \xB5V \xE9t\xE9", QStringLiteral("€ “quoted” µV été")},
      {"\x81\x8D\x8F\x90\x9D", QStringLiteral("\u0081\u008D\u008F\u0090\u009D")},
      {"mixed \xC3\xA9 and \xE9", QStringLiteral("mixed é and é")},
      {"\xC0\xAF overlong, \xED\xA0\x80 surrogate, \xE2\x82 cut",
       QStringLiteral("\u00C0\u00AF overlong, \u00ED\u00A0\u20AC surrogate, \u00E2\u201A cut")},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decodeFileText(c.bytes), c.text) << c.bytes;
  const char16_t table[] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                            0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                            0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                            0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
  for (int b = 0x80; b <= 0x9F; ++b)
    EXPECT_EQ(windows1252ToUnicode(uint8_t(b)), table[b - 0x80]) << b;
  EXPECT_EQ(windows1252ToUnicode(0xFF), u'\u00FF');
}

TEST(GeneralTextTest, EqualsVariantTextInSeveralLocales) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> day(-700.0, 80000.0);
  std::uniform_real_distribution<double> value(-2000.0, 2000.0);
  for (const char* name :
       {"C", "en_US", "de_DE", "fr_FR", "ja_JP", "ko_KR", "zh_CN", "ar_EG", "hi_IN", "fa_IR"}) {
    zrvtest::LocaleScope scope{QLocale(QString::fromLatin1(name))};
    GeneralText text;
    std::vector<Variant> values = {Variant(),
                                   Variant(int16_t{-7}),
                                   Variant(int32_t{123456}),
                                   Variant(true),
                                   Variant(QStringLiteral("ä,\"b")),
                                   Variant::date(0.0),
                                   Variant::date(0.75),
                                   Variant::date(45356.0),
                                   Variant::date(45356.999999)};
    for (int i = 0; i < 3000; ++i) {
      values.push_back(Variant::date(day(rng)));
      values.push_back(Variant(value(rng)));
      values.push_back(Variant(std::round(value(rng)) / 8));
    }
    for (const Variant& v : values) {
      std::string out;
      text.appendVariant(out, v);
      ASSERT_EQ(out, v.toText().toStdString()) << name << " " << zrv::describe(v).toStdString();
    }
  }
}

}  // namespace
}  // namespace zrvlog
