// The analysis CSV: one table over locales, channel counts, names and units, recorded and
// loaded time stamps; each row is read back and checked against the data set.
#include "app/documents/analysiscsv.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <functional>

#include "app/documents/numbertext.h"
#include "common/automationdate.h"
#include "tests/documents/documentfixture.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using zrvtest::EngineParts;
using M = GraphMember;

const QLocale kGerman(QLocale::German, QLocale::Germany);
const QLocale kUs(QLocale::English, QLocale::UnitedStates);

// A sample's stamp written into a saved file in place of its general date.
void replaceStamp(EngineParts& p, std::size_t sample, const char* text) {
  QByteArray bytes = p.save();
  const QByteArray stamp =
      '"' + p.engine.document().store().stamp(sample - 1).toText().toUtf8() + '"';
  const qsizetype at = bytes.lastIndexOf("\r\n" + stamp);
  ASSERT_GE(at, 0);
  bytes.replace(at + 2, stamp.size(), '"' + QByteArray(text) + '"');
  ASSERT_TRUE(p.load(bytes).ok());
}

TEST(AnalysisCsv, HeadersRowsAndTimesWhateverTheLocale) {
  struct Case {
    const char* name;
    QLocale locale;
    int16_t channels;
    std::function<void(EngineParts&)> change;  // after recording 4 samples
    QByteArray header;
    int emptyTimes;  // rows whose time stamp is not a date
    bool wholeSeconds;
  };
  const QByteArray volts5 =
      "Time,Elapsed (s),Channel 1 (V),Channel 2 (V),Channel 3 (V),"
      "Channel 4 (V),Channel 5 (V)";
  const Case cases[] = {
      {"five channels, decimal comma", kGerman, 5, {}, volts5, 0, false},
      {"one channel", kUs, 1, {}, "Time,Elapsed (s),Channel 1 (V)", 0, false},
      {"names and the axis title's unit", kUs, 2,
       [](EngineParts& p) {
         p.graph.setValue(M::LabelFormatY, 0, Variant("%4.0f"));
         p.graph.setValue(M::AxisTitleY, 0, Variant("Temperature (degC)"));
         p.graph.setValue(M::ElementLabel, 0, Variant("Oven, \"inner\""));
         p.graph.setValue(M::ElementLabel, 1, Variant("=1+2"));
       },
       "Time,Elapsed (s),\"Oven, \"\"inner\"\" (degC)\",'=1+2 (degC)", 0, false},
      {"no unit anywhere", kUs, 1,
       [](EngineParts& p) { p.graph.setValue(M::LabelFormatY, 0, Variant("%4.0f")); },
       "Time,Elapsed (s),Channel 1", 0, false},
      {"loaded with a two-digit year", kUs, 5, [](EngineParts& p) { p.load(p.save()); }, volts5, 0,
       true},
      {"loaded, decimal comma", kGerman, 5, [](EngineParts& p) { p.load(p.save()); }, volts5, 0,
       true},
      {"a loaded time stamp that is no date", kGerman, 5,
       [](EngineParts& p) { replaceStamp(p, 2, "lunch break"); }, volts5, 1, true},
  };
  const QRegularExpression time(
      QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zrvtest::LocaleScope locale(c.locale);
    EngineParts p;
    p.engine.settings.ChanLimit = c.channels;
    p.record(4);
    std::vector<QDateTime> recorded;
    for (std::size_t i = 1; i <= 4; ++i)
      recorded.push_back(
          zrv::fromAutomationDate(p.engine.document().store().stamp(i - 1).toDate()));
    if (c.change) c.change(p);
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const SaveResult r = writeAnalysisCsv(buffer, p.engine.document(), c.channels);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.rows, 4);
    EXPECT_EQ(r.rowsError.contains(QStringLiteral("lunch break")), c.emptyTimes > 0)
        << r.rowsError.toStdString();
    EXPECT_FALSE(buffer.data().contains('\r'));
    const QList<QByteArray> lines = buffer.data().split('\n');
    ASSERT_EQ(lines.size(), 6) << buffer.data().toStdString();
    EXPECT_EQ(lines[0], c.header);
    EXPECT_TRUE(lines[5].isEmpty());
    int empty = 0;
    std::optional<QDateTime> first;
    for (int i = 0; i < 4; ++i) {
      const QList<QByteArray> cells = lines[i + 1].split(',');
      ASSERT_EQ(cells.size(), 2 + c.channels) << lines[i + 1].toStdString();
      for (int k = 0; k < c.channels; ++k) {
        bool ok = false;
        EXPECT_EQ(cells[2 + k].toDouble(&ok), p.graph.pointY(i, k)) << i << "," << k;
        EXPECT_TRUE(ok);
      }
      if (cells[0].isEmpty()) {
        EXPECT_TRUE(cells[1].isEmpty());
        ++empty;
        continue;
      }
      ASSERT_TRUE(time.match(QString::fromLatin1(cells[0])).hasMatch()) << cells[0].toStdString();
      const QDateTime at = QDateTime::fromString(QString::fromLatin1(cells[0]), Qt::ISODateWithMs);
      // A loaded file holds its time stamps to the second.
      QDateTime expected = recorded[std::size_t(i)];
      if (c.wholeSeconds) expected = expected.addMSecs(-expected.time().msec());
      EXPECT_EQ(at, expected) << cells[0].toStdString();
      if (!first) first = at;
      EXPECT_EQ(cells[1], QByteArray::number(first->msecsTo(at) / 1000.0, 'f', 3));
    }
    EXPECT_EQ(empty, c.emptyTimes);
  }
}

TEST(AnalysisCsv, TimeStampTextsThatAreDatesAndThoseThatAreNot) {
  zrvtest::LocaleScope us(kUs);
  const QDateTime fifth(QDate(2024, 3, 5), QTime(14, 3, 7));
  const struct {
    Variant stamp;
    std::optional<QDateTime> moment;
  } cases[] = {
      {Variant("3/5/24 2:03:07 PM"), fifth},
      {Variant("5 Mar 2024 14:03:07"), fifth},  // saved where no locale was set
      {Variant("3/5/29"), QDateTime(QDate(2029, 3, 5), QTime(0, 0))},
      {Variant("3/5/30"), QDateTime(QDate(1930, 3, 5), QTime(0, 0))},
      {Variant("2024-03-05T14:03:07.250"), fifth.addMSecs(250)},
      {Variant("2024-03-05T13:03:07Z"), QDateTime(QDate(2024, 3, 5), QTime(13, 3, 7), Qt::UTC)},
      {Variant::date(zrv::toAutomationDate(fifth)), fifth},
      {Variant("2:03:07 PM"), QDateTime(QDate(1899, 12, 30), QTime(14, 3, 7))},  // day 0
      {Variant("lunch break"), std::nullopt},
      {Variant(""), std::nullopt},
      {Variant(int16_t{3}), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stamp.toText().toStdString());
    const auto moment = timeStampMoment(c.stamp);
    ASSERT_EQ(moment.has_value(), c.moment.has_value());
    if (moment) {
      EXPECT_EQ(*moment, *c.moment);
    }
  }
  const QString iso = isoWithOffset(fifth);
  EXPECT_TRUE(iso.startsWith(QStringLiteral("2024-03-05T14:03:07.000"))) << iso.toStdString();
  EXPECT_EQ(QDateTime::fromString(iso, Qt::ISODateWithMs), fifth);
}

}  // namespace
}  // namespace zrvlog
