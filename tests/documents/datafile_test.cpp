// The data file and the CSV export over the engine: the golden file, round trips, the
// reader's edge cases, failed saves and the locale of the numbers.
#include "app/documents/datafile.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QDir>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <csignal>
#include <functional>

#include "app/documents/fieldio.h"
#include "common/automationdate.h"
#include "common/numberformat.h"
#include "tests/documents/documentfixture.h"
#include "tests/support/filesizelimit.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrvtest::FileSizeLimit;

using zrv::Variant;
using zrvtest::EngineParts;
using M = GraphMember;

QStringList keysOf(const Document& document) {
  QStringList keys;
  for (std::size_t i = 0; i < document.sampleCount(); ++i)
    keys << document.keyText(i);
  return keys;
}

QByteArray golden() {
  const QByteArray bytes = zrvtest::readFixture("golden.zrv");
  EXPECT_FALSE(bytes.isEmpty()) << "tests/data/golden.zrv missing";
  return bytes;
}

TEST(DataFile, GoldenFileLoadsWithEveryFieldInPlace) {
  EngineParts p;
  const LoadResult r = p.load(golden());
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  AcquisitionEngine& e = p.engine;
  GraphModel& g = p.graph;
  EXPECT_EQ(e.data.StartTime,
            Variant::date(zrv::toAutomationDate(QDateTime(QDate(2024, 3, 5), QTime(13, 4, 5)))));
  EXPECT_TRUE(r.startTimeRead);
  EXPECT_EQ(e.settings.stopsec, Variant("10"));
  EXPECT_EQ(e.settings.AvgCt, 4);
  EXPECT_TRUE(e.autorange());
  EXPECT_EQ(g.property(M::LegendOn), Variant(false));
  EXPECT_EQ(e.settings.MINX, Variant(int16_t{0}));
  EXPECT_EQ(e.settings.MINY, Variant(-0.5));
  EXPECT_EQ(g.property(M::RangeXMax), Variant(12.5));
  EXPECT_EQ(g.property(M::RangeYMax), Variant(5.25));
  EXPECT_EQ(g.property(M::GridCountX), Variant(int16_t{20}));
  EXPECT_EQ(e.GetTimerInt(), 500);
  EXPECT_EQ(g.property(M::Caption), Variant("Pressure test"));
  EXPECT_EQ(g.property(M::LogY), Variant(true));
  EXPECT_EQ(g.property(M::LabelFormatY), Variant("%g V"));
  EXPECT_EQ(g.property(M::AxisTitleX), Variant("Time (s)"));
  EXPECT_EQ(g.property(M::TitleFont), Variant("DejaVu Serif"));
  g.setProperty(M::ElementIndex, Variant(int16_t{1}));
  EXPECT_EQ(g.property(M::ElementLineWidth), Variant(int32_t{2}));
  EXPECT_EQ(g.property(M::ElementSolidPoints), Variant(true));
  EXPECT_EQ(e.data.GetCoef(1, 2), Variant("1")) << "text coefficients stay text";
  EXPECT_EQ(e.data.GetCoef(3, 0), Variant(1e-5));
  EXPECT_EQ(e.data.GetCoef(1, 0), Variant(kVoltsPerCount));
  ASSERT_EQ(g.annotationCount(), 1);
  EXPECT_EQ(g.itemValue(M::AnnoLabelText, 0), Variant("peak"));
  EXPECT_EQ(g.itemValue(M::AnnoLabelY, 0), Variant(4.75));
  ASSERT_EQ(g.cursorCount(), 1);
  EXPECT_EQ(g.itemValue(M::CursorSnap, 0), Variant(int16_t{1}));
  // X comes from the row number and the interval of line 9, not from the time stamps.
  EXPECT_EQ(r.rows, 3);
  EXPECT_EQ(keysOf(e.document()), QStringList({"T0", "T0.5", "T1"}));
  for (int k = 0; k < kChannels; ++k) {
    ASSERT_EQ(g.points(k).size(), 3u);
    EXPECT_EQ(g.points(k).x(2), 1.0);
  }
  EXPECT_EQ(g.pointY(1, 0), 0.75);
  EXPECT_EQ(g.pointY(2, 3), 5.0);
  // Read as the date and the number their texts show, which give the same texts back.
  EXPECT_EQ(e.document().store().stamp(1).toText(), "5 Mar 2024 13:04:06");
  EXPECT_EQ(e.document().store().jitter(2), Variant(int32_t{-3}));
  EXPECT_FALSE(e.data.DataChanged);
}

TEST(DataFile, GoldenFileSavesBackByteForByteWhateverItsLineStructure) {
  const QByteArray original = golden();
  QByteArray oneFieldPerLine = original;
  oneFieldPerLine.replace(",", "\r\n");
  QByteArray joined = original;  // lines 2 to 9 as one line
  for (int i = 0; i < 8; ++i)
    joined.replace(joined.indexOf("\r\n", joined.indexOf("\r\n") + 2), 2, ",");
  QByteArray unixEnds = original;
  unixEnds.replace("\r\n", "\n");
  // Stamps and jitters spelt otherwise than the program writes them come back as spelt.
  QByteArray spelt = original;
  spelt.replace("\"5 Mar 2024 13:04:05\",\"0\"", "\"2024-03-05T13:04:05\",\"+0\"")
      .replace("\"5 Mar 2024 13:04:06\",\"12\"", "\"05 Mar 2024 13:04:06\",\"012\"")
      .replace("\"5 Mar 2024 13:04:06\",\"-3\"", "\"5 Mar 2024 13:04:06 \",\"-3.0\"");
  const struct {
    const char* name;
    QByteArray bytes;
    QByteArray expected = {};  // empty: the original
  } cases[] = {
      {"as written", original},
      {"stamps and jitters spelt otherwise", spelt, spelt},
      {"one field per line", oneFieldPerLine},
      {"lines 2-9 joined", joined},
      {"LF line ends", unixEnds},
      {"blank lines after the last row", original + "\r\n\r\n  \r\n"},
      {"blanks before fields", QByteArray(original).replace("\r\n", "\r\n  ")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EngineParts p;
    const LoadResult r = p.load(c.bytes);
    ASSERT_TRUE(r.ok()) << r.error.toStdString();
    EXPECT_EQ(r.rows, 3);
    const QByteArray saved = p.save();
    EXPECT_TRUE(p.lastSave.ok);
    EXPECT_EQ(saved.toStdString(), (c.expected.isEmpty() ? original : c.expected).toStdString());
  }
}

TEST(DataFile, EmptyDataSetWritesEveryBlockButNoRow) {
  EngineParts p;
  const QByteArray saved = p.save();
  ASSERT_TRUE(p.lastSave.ok);
  EXPECT_EQ(p.lastSave.rows, 0);
  EXPECT_TRUE(saved.startsWith("\"1.0\"\r\n\"\"\r\n\r\n1\r\n#FALSE#\r\n"))
      << "no start time yet (empty text), no stop time (empty variant)";
  EXPECT_TRUE(saved.endsWith("\r\n0\r\n0\r\n")) << "no annotations and no cursors, then no rows";
  EXPECT_EQ(saved.count("\r\n"), 24 + 5 + 25 + 2);
  EngineParts q;
  q.engine.settings.AvgCt = 9;
  const LoadResult r = q.load(saved);
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_EQ(r.rows, 0);
  EXPECT_EQ(q.engine.settings.AvgCt, 1);
  EXPECT_TRUE(q.engine.data.StartTime.isEmptyText());
}

// Everything the file stores of the graph, as texts (doubles keep 15 digits in the file).
QStringList graphState(GraphModel& g) {
  QStringList out;
  const auto text = [](const Variant& v) {
    return v.type() == zrv::VarType::Double ? zrv::formatGeneral(v.doubleValue()) : v.toText();
  };
  for (const MemberInfo& m : graphMembers()) {
    // The file keeps the ranges through MINX..MAXY, which a tick copies before it autoranges.
    if (m.slot < 0 || m.member == M::CursorMode || m.member == M::ElementLabel ||
        (m.member >= M::RangeXMin && m.member <= M::RangeYMax))
      continue;
    if (m.scope == MemberScope::Graph)
      out << m.name + QStringLiteral("=") + text(g.graphValue(m.member));
    const int count = m.scope == MemberScope::Element      ? g.elementCount()
                      : m.scope == MemberScope::Annotation ? g.annotationCount()
                      : m.scope == MemberScope::Cursor     ? g.cursorCount()
                                                           : 0;
    for (int i = 0; i < count; ++i)
      out << QStringLiteral("%1[%2]=%3").arg(m.name).arg(i).arg(text(g.itemValue(m.member, i)));
  }
  return out;
}

TEST(DataFile, RecordedRunRoundTripsWithAnnotationsCursorsAndLook) {
  EngineParts a;
  a.engine.SetTimerInt(250);
  a.engine.settings.stopsec = Variant("60");
  a.engine.settings.AvgCt = 3;
  a.engine.data.SetCoef(0, 4, Variant("0.125"));
  a.engine.setAutorange(true);
  a.record(25);
  GraphModel& g = a.graph;
  g.setProperty(M::Caption, Variant(QStringLiteral("Tank 3 — µV")));
  g.setProperty(M::AxisTitleY, Variant("mV"));
  g.setProperty(M::GridColor, Variant(int32_t{0x123456}));
  g.setProperty(M::TimeLabelsX, Variant(true));
  g.setProperty(M::TickFont, Variant("DejaVu Sans Mono"));
  g.setProperty(M::ElementIndex, Variant(int16_t{3}));
  g.setProperty(M::ElementShow, Variant(false));
  g.setProperty(M::ElementPointSymbol, Variant(int32_t{4}));
  for (int i = 0; i < 2; ++i) {
    g.newAnnotation();
    g.setProperty(M::AnnoLabelText, Variant(QStringLiteral("note %1").arg(i)));
    g.setProperty(M::AnnoLabelX, Variant(1.5 + i));
    g.setProperty(M::AnnoLabelHorizontal, Variant(i == 0));
  }
  g.newCursor();
  g.setProperty(M::CursorPosX, Variant(2.75));
  g.setProperty(M::CursorStyle, Variant(int16_t{2}));
  const QByteArray first = a.save();
  ASSERT_TRUE(a.lastSave.ok) << a.lastSave.error.toStdString();
  EXPECT_EQ(a.lastSave.rows, 25);

  EngineParts b;
  const LoadResult r = b.load(first);
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_EQ(keysOf(b.engine.document()), keysOf(a.engine.document()));
  for (std::size_t i = 1; i <= 25; ++i) {
    EXPECT_EQ(b.engine.document().store().stamp(i - 1).toText(),
              a.engine.document().store().stamp(i - 1).toText());
    EXPECT_EQ(b.engine.document().store().jitter(i - 1).toText(),
              a.engine.document().store().jitter(i - 1).toText());
  }
  for (int k = 0; k < kChannels; ++k) {
    ASSERT_EQ(b.graph.points(k).size(), a.graph.points(k).size());
    for (std::size_t i = 0; i < 25; ++i) {
      EXPECT_EQ(b.graph.points(k).x(i), a.graph.points(k).x(i));
      EXPECT_EQ(zrv::formatGeneral(b.graph.points(k).y(i)),
                zrv::formatGeneral(a.graph.points(k).y(i)));
    }
  }
  EXPECT_EQ(b.engine.data.SampleTime.toText(), a.engine.data.SampleTime.toText());
  EXPECT_EQ(b.engine.settings.stopsec, Variant("60"));
  EXPECT_EQ(b.engine.settings.AvgCt, 3);
  EXPECT_EQ(b.engine.GetTimerInt(), 250);
  EXPECT_TRUE(b.engine.autorange());
  EXPECT_EQ(b.engine.settings.MAXX.toText(), a.engine.settings.MAXX.toText());
  EXPECT_EQ(zrv::formatGeneralDate(b.engine.data.StartTime.toDate()).toStdString(),
            zrv::formatGeneralDate(a.engine.data.StartTime.toDate()).toStdString())
      << "the file keeps whole seconds";
  for (int16_t k = 0; k < kOrders; ++k)
    for (int16_t c = 0; c < kChannels; ++c)
      EXPECT_EQ(b.engine.data.GetCoef(k, c), a.engine.data.GetCoef(k, c)) << k << "," << c;
  EXPECT_EQ(graphState(b.graph).join(u'\n').toStdString(),
            graphState(a.graph).join(u'\n').toStdString());
  EXPECT_EQ(b.graph.property(M::RangeXMax).toText(), a.engine.settings.MAXX.toText());
  EXPECT_EQ(b.save().toStdString(), first.toStdString()) << "a loaded file saves back unchanged";
}

struct EdgeCase {
  const char* name;
  std::function<QByteArray(QByteArray)> edit;
  LoadResult::Status status;
  const char* message;  // part of the error text
  std::function<void(EngineParts&, const LoadResult&)> check;
};

TEST(DataFile, ReaderEdgeCases) {
  const auto lineOf = [](const QByteArray& file, int n) {
    return file.split('\n').at(n - 1).trimmed();
  };
  const auto replaceLine = [](QByteArray file, int n, const QByteArray& text) {
    QList<QByteArray> lines = file.split('\n');
    lines[n - 1] = text + "\r";
    return lines.join('\n');
  };
  const EdgeCase cases[] = {
      {"a row cut off at the end", [](QByteArray f) { return f.left(f.lastIndexOf(",\"5\"")); },
       LoadResult::Status::ReadError, "Input past end of file",
       [](EngineParts& p, const LoadResult& r) {
         EXPECT_EQ(r.rows, 2) << "every complete row is loaded";
         EXPECT_EQ(p.graph.points(4).size(), 2u);
         EXPECT_EQ(p.engine.document().sampleCount(), 2u);
         EXPECT_TRUE(r.error.contains(QStringLiteral("sample row 3"))) << r.error.toStdString();
       }},
      {"a quote inside the caption",
       [&](QByteArray f) { return replaceLine(f, 10, "\"Run \"A\" fast\""); },
       LoadResult::Status::Loaded, "",
       [](EngineParts& p, const LoadResult&) {
         EXPECT_EQ(p.graph.property(M::Caption), Variant("Run ")) << "cut at the quote";
         EXPECT_EQ(p.graph.property(M::FrameStyle), Variant(int32_t{2}));
       }},
      {"a non-number in AvgCt", [&](QByteArray f) { return replaceLine(f, 4, "\"four\""); },
       LoadResult::Status::ReadError, "Type mismatch",
       [](EngineParts& p, const LoadResult& r) {
         EXPECT_EQ(p.engine.settings.stopsec, Variant("10")) << "lines 1 to 3 were applied";
         EXPECT_EQ(p.engine.data.StartTime.type(), zrv::VarType::Date);
         EXPECT_TRUE(r.startTimeRead);
         EXPECT_EQ(p.engine.settings.AvgCt, 1);
         EXPECT_TRUE(r.error.contains(QStringLiteral("line 4, AvgCt"))) << r.error.toStdString();
       }},
      {"version 2.0", [&](QByteArray f) { return replaceLine(f, 1, "\"2.0\""); },
       LoadResult::Status::IncorrectFormat, kIncorrectFileFormat,
       [](EngineParts& p, const LoadResult&) {
         EXPECT_TRUE(p.engine.settings.stopsec.isEmpty()) << "nothing applied";
       }},
      {"the version as a number", [&](QByteArray f) { return replaceLine(f, 1, "1.0"); },
       LoadResult::Status::IncorrectFormat, kIncorrectFileFormat, nullptr},
      {"an empty file", [](QByteArray) { return QByteArray(); },
       LoadResult::Status::IncorrectFormat, kIncorrectFileFormat, nullptr},
      {"six element records",
       [&](QByteArray f) {
         f = replaceLine(f, 24, "6");
         return f.replace("16777215,5,16777215,3,#TRUE#,#FALSE#,1\r\n",
                          "16777215,5,16777215,3,#TRUE#,#FALSE#,1\r\n1,0,1,0,#TRUE#,#TRUE#,1\r\n");
       },
       LoadResult::Status::ReadError, "element 5",
       [](EngineParts& p, const LoadResult&) {
         EXPECT_EQ(p.graph.elementCount(), 5) << "the reader adds no elements";
         EXPECT_EQ(p.graph.itemValue(M::ElementLineStyle, 4), Variant(int32_t{5}));
         EXPECT_EQ(p.engine.document().sampleCount(), 0u);
       }},
      {"Windows-1252 text",
       [&](QByteArray f) { return replaceLine(f, 20, "\"Zeit \x96 s\",\"\xB5V \x80\""); },
       LoadResult::Status::Loaded, "",
       [](EngineParts& p, const LoadResult&) {
         EXPECT_EQ(p.graph.property(M::AxisTitleX), Variant(QStringLiteral("Zeit \u2013 s")));
         EXPECT_EQ(p.graph.property(M::AxisTitleY), Variant(QStringLiteral("µV €")));
       }},
      {"a sample interval of 0", [&](QByteArray f) { return replaceLine(f, 9, "0"); },
       LoadResult::Status::ReadError, "sample interval", nullptr},
      {"a channel value that is not a number",
       [](QByteArray f) { return f.replace("\"0.75\"", "\"n/a\""); }, LoadResult::Status::ReadError,
       "sample row 2, channel 0", [](EngineParts&, const LoadResult& r) { EXPECT_EQ(r.rows, 1); }},
      {"an axis range that is not a number",
       [&](QByteArray f) { return replaceLine(f, 7, "0,-.5,\"wide\",5.25"); },
       LoadResult::Status::ReadError, "MAXX",
       [](EngineParts& p, const LoadResult&) {
         EXPECT_EQ(p.engine.settings.MAXX, Variant(int16_t{100})) << "the ranges stay numbers";
         p.engine.InitGraph();  // and the graph can be reset afterwards
         EXPECT_EQ(p.graph.property(M::RangeXMax), Variant(100.0));
       }},
      // Found by fuzzing: the ranges are judged after the fourth is read, so the message had
      // quoted a long one whole, quotes inside a bare field and all.
      {"a long axis range that is not a number",
       [&](QByteArray f) {
         return replaceLine(f, 7, "0,-.5,\"" + QByteArray(300, '2') + "x\",5.25");
       },
       LoadResult::Status::ReadError, "MAXX",
       [](EngineParts&, const LoadResult& r) {
         EXPECT_LT(r.error.size(), 120) << "quoted by its start";
         EXPECT_TRUE(r.error.contains(QChar(0x2026)));
       }},
      {"a long bare axis range holding quotes",
       [&](QByteArray f) {
         return replaceLine(f, 7, "0,-.5," + QByteArray("a\"-1\"b").repeated(60) + ",5");
       },
       LoadResult::Status::ReadError, "MAXX",
       [](EngineParts&, const LoadResult& r) {
         EXPECT_LT(r.error.size(), 120) << "quoted by its start";
       }},
      {"a date StartTime as text", [&](QByteArray f) { return replaceLine(f, 2, "\"\""); },
       LoadResult::Status::Loaded, "",
       [](EngineParts& p, const LoadResult&) {
         EXPECT_TRUE(p.engine.data.StartTime.isEmptyText());
       }},
  };
  for (const EdgeCase& c : cases) {
    SCOPED_TRACE(c.name);
    EngineParts p;
    const LoadResult r = p.load(c.edit(golden()));
    EXPECT_EQ(r.status, c.status) << r.error.toStdString();
    EXPECT_TRUE(r.error.contains(QString::fromLatin1(c.message))) << r.error.toStdString();
    if (c.check) c.check(p, r);
  }
  EXPECT_EQ(lineOf(golden(), 10), "\"Pressure test\"");
}

TEST(DataFile, ACaptionWithAQuoteAndACommaStillGivesALoadableFile) {
  EngineParts a;
  a.record(3);
  a.graph.setProperty(M::Caption, Variant("say \"hi\", bye"));
  a.engine.SetTimerInt(750);
  EngineParts b;
  const LoadResult r = b.load(a.save());
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_EQ(b.graph.property(M::Caption), Variant("say "));
  EXPECT_EQ(b.engine.GetTimerInt(), 750) << "no field after the caption shifted";
  EXPECT_EQ(r.rows, 3);
}

TEST(DataFile, StrayQuotesInBareFieldsSaveToAFileThatReadsBackTheSame) {
  // Found by fuzzing: unquoted texts may hold quotes, which a quoted field cannot.
  QByteArray file = golden();
  file.replace("\"5 Mar 2024 13:04:06\",\"12\"", "5 Mar \"2024,1\"2\"");
  file.replace("\"Time (s)\"", "Time \"s\"");
  EngineParts a;
  ASSERT_TRUE(a.load(file).ok());
  EXPECT_EQ(a.engine.document().store().stamp(1), Variant("5 Mar \"2024"));
  const QByteArray first = a.save();
  EngineParts b;
  ASSERT_TRUE(b.load(first).ok());
  EXPECT_EQ(b.save().toStdString(), first.toStdString());
  EXPECT_TRUE(first.contains("\r\n\"5 Mar \",\"1\",")) << first.toStdString();
}

TEST(SampleRows, EveryRecordedSampleIsWrittenAfterTheIntervalChanged) {
  EngineParts p;
  p.record(4);  // at 1000 ms: T0 T1 T2 T3
  p.engine.SetTimerInt(300);
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  const SaveResult r = writeCsv(buffer, p.engine.document());
  ASSERT_TRUE(r.ok);
  EXPECT_TRUE(r.rowsError.isEmpty()) << r.rowsError.toStdString();
  EXPECT_EQ(r.rows, 4);
  const QList<QByteArray> lines = buffer.data().split('\n');
  ASSERT_EQ(lines.size(), 6);  // header, four rows, the empty rest after the last CR LF
  for (int i = 0; i < 4; ++i) {
    const QByteArray expected = "\"" + zrv::formatGeneral(p.graph.pointY(i, 1)).toUtf8() + "\"";
    EXPECT_TRUE(lines[i + 1].contains(expected)) << i << ": " << lines[i + 1].toStdString();
  }
}

TEST(SampleRows, PointsAHostAddsToTheGraphDoNotShiftTheRows) {
  EngineParts p;
  p.record(3);
  QBuffer before;
  before.open(QIODevice::WriteOnly);
  ASSERT_TRUE(writeCsv(before, p.engine.document()).ok);
  // Element 0 shows channel 1 as recorded and takes no point of a host's; a host's own
  // element does, and a reset drops every element: the rows come from the store all along.
  EXPECT_THROW(p.graph.addPoint(9, 9, 0), zrv::AutomationError);
  p.graph.newElement();
  p.graph.addPoint(9, 9, p.graph.elementCount() - 1);
  p.graph.resetElements();
  QBuffer after;
  after.open(QIODevice::WriteOnly);
  const SaveResult r = writeCsv(after, p.engine.document());
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.rows, 3);
  EXPECT_TRUE(r.rowsError.isEmpty()) << r.rowsError.toStdString();
  EXPECT_EQ(after.data(), before.data());
}

TEST(Csv, HeaderAndLocaleDecimalCommaInsideTheQuotes) {
  zrvtest::LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
  EngineParts p;
  p.record(3);
  QBuffer buffer;
  buffer.open(QIODevice::WriteOnly);
  ASSERT_TRUE(writeCsv(buffer, p.engine.document()).ok);
  const QList<QByteArray> lines = buffer.data().split('\n');
  ASSERT_EQ(lines.size(), 5);
  EXPECT_EQ(lines[0], QByteArray(kCsvHeader) + "\r");
  // "05.03.24 13:04:05","-1","0,488758553274682","4,99511241446725",...
  const QRegularExpression row(QStringLiteral(
      R"(^"\d\d\.\d\d\.\d\d \d\d:\d\d:\d\d","-?\d+"(,"-?\d+(,\d+)?(E[-+]\d\d)?"){5}\r$)"));
  for (int i = 1; i <= 3; ++i)
    EXPECT_TRUE(row.match(QString::fromUtf8(lines[i])).hasMatch()) << lines[i].toStdString();
  EXPECT_TRUE(lines[1].contains("\"0,488758553274682\"")) << lines[1].toStdString();

  // A file written here loads in a point locale and the other way round.
  const QByteArray commaFile = p.save();
  zrvtest::LocaleScope c(QLocale::c());
  EngineParts q;
  const LoadResult r = q.load(commaFile);
  ASSERT_TRUE(r.ok()) << r.error.toStdString();
  EXPECT_EQ(q.graph.pointY(0, 0), p.graph.pointY(0, 0));
}

TEST(Csv, EmptyDataSetIsTheHeaderAloneAndLoadedStampsStayTexts) {
  EngineParts p;
  QBuffer empty;
  empty.open(QIODevice::WriteOnly);
  ASSERT_TRUE(writeCsv(empty, p.engine.document()).ok);
  EXPECT_EQ(empty.data(), QByteArray(kCsvHeader) + "\r\n");
  ASSERT_TRUE(p.load(golden()).ok());
  QBuffer csv;
  csv.open(QIODevice::WriteOnly);
  ASSERT_TRUE(writeCsv(csv, p.engine.document()).ok);
  EXPECT_TRUE(csv.data().contains(
      "\r\n\"5 Mar 2024 13:04:06\",\"-3\",\"1\",\"2.25\",\"1E-05\",\"5\",\"-1.75\"\r\n"));
}

// The CSV of a data set whose samples hold the given time stamps and jitters.
QList<QByteArray> csvRows(const std::vector<std::pair<Variant, Variant>>& samples) {
  EngineParts p;
  const std::array<double, kChannels> values{0, -0.5, -1, -1.5, -2};
  for (const auto& [stamp, jitter] : samples)
    p.engine.document().appendSample(stamp, jitter, values, 1000);
  QBuffer csv;
  csv.open(QIODevice::WriteOnly);
  EXPECT_TRUE(writeCsv(csv, p.engine.document()).ok);
  QList<QByteArray> rows = csv.data().split('\n');
  rows.removeFirst();  // the header
  rows.removeLast();   // after the last CR LF
  return rows;
}

TEST(Csv, TextsThatASpreadsheetWouldRunAsFormulasGetAnApostrophe) {
  const struct {
    const char* stamp;
    const char* written;
  } cases[] = {
      {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
      {"+1+1", "'+1+1"},
      {"-2+3+cmd|' /C calc'!A0", "'-2+3+cmd|' /C calc'!A0"},
      {"@SUM(A1:A9)", "'@SUM(A1:A9)"},
      {"\t=1", "'\t=1"},
      {"\r=1", "'\r=1"},
      {"-", "'-"},
      {"-1.5e", "'-1.5e"},
      {"-3", "-3"},
      {"-1.25", "-1.25"},
      {"+7", "+7"},
      {"-.5", "-.5"},
      {"-4.88758553274682E-03", "-4.88758553274682E-03"},
      {"5 Mar 2024 13:04:06", "5 Mar 2024 13:04:06"},
      {"plain text = fine", "plain text = fine"},
      {"", ""},
  };
  std::vector<std::pair<Variant, Variant>> samples;
  for (const auto& c : cases)
    samples.push_back({Variant(c.stamp), Variant(c.stamp)});
  const QList<QByteArray> rows = csvRows(samples);
  ASSERT_EQ(rows.size(), qsizetype(std::size(cases)));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const QByteArray cell = QByteArray("\"") + cases[i].written + "\"";
    EXPECT_TRUE(rows[qsizetype(i)].startsWith(cell + "," + cell + ",\"0\",\"-0.5\","))
        << "time stamp and jitter of " << cases[i].stamp << ": "
        << rows[qsizetype(i)].toStdString();
  }

  // Numbers in the user's notation stay numbers; recorded samples have no text to guard.
  zrvtest::LocaleScope german(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(csvRows({{Variant("-1,5"), Variant(int32_t{-2})}, {Variant("=1,5"), Variant(-0.25)}}),
            QList<QByteArray>({"\"-1,5\",\"-2\",\"0\",\"-0,5\",\"-1\",\"-1,5\",\"-2\"\r",
                               "\"'=1,5\",\"-0,25\",\"0\",\"-0,5\",\"-1\",\"-1,5\",\"-2\"\r"}));
}

TEST(Csv, AFormulaInALoadedFileReachesTheCsvAsTextAndTheDataFileAsStored) {
  const QByteArray formula = "=cmd|' /C calc'!A0";
  EngineParts p;
  ASSERT_TRUE(p.load(golden().replace("\"5 Mar 2024 13:04:05\"", "\"" + formula + "\"")).ok());
  QBuffer csv;
  csv.open(QIODevice::WriteOnly);
  ASSERT_TRUE(writeCsv(csv, p.engine.document()).ok);
  EXPECT_TRUE(csv.data().contains("\r\n\"'" + formula + "\",\"0\",")) << csv.data().toStdString();
  EXPECT_TRUE(p.save().contains("\r\n\"" + formula + "\",\"0\","));
}

// A device that takes a given number of bytes and then fails like a full disk.
class FullDevice : public QIODevice {
 public:
  explicit FullDevice(qint64 room) : m_room(room) { open(QIODevice::WriteOnly); }
  QByteArray data;

 protected:
  qint64 readData(char*, qint64) override { return -1; }
  qint64 writeData(const char* p, qint64 n) override {
    if (m_room <= 0) {
      setErrorString(QStringLiteral("No space left on device"));
      return -1;
    }
    const qint64 taken = std::min(n, m_room);
    data.append(p, taken);
    m_room -= taken;
    return taken;
  }

 private:
  qint64 m_room;
};

TEST(Saving, AFailingDeviceIsReportedWithItsReason) {
  EngineParts p;
  p.record(2000);
  for (qint64 room : {0, 100, 5000, 60000}) {
    FullDevice device(room);
    const SaveResult r = writeDataFile(device, p.engine.document());
    EXPECT_FALSE(r.ok) << room;
    EXPECT_EQ(r.error, QStringLiteral("No space left on device")) << room;
  }
}

TEST(Saving, ASaveThatFailsHalfwayLeavesThePreviousFileAsItWas) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("run.zrv"));
  EngineParts small;
  small.record(3);
  ASSERT_TRUE(saveDataFile(path, small.engine.document()).ok);
  QFile before(path);
  ASSERT_TRUE(before.open(QIODevice::ReadOnly));
  const QByteArray previous = before.readAll();
  before.close();

  EngineParts big;
  big.record(5000);  // several hundred kilobytes
  SaveResult r;
  {
    FileSizeLimit limit(64 * 1024);
    r = saveDataFile(path, big.engine.document());
  }
  EXPECT_FALSE(r.ok);
  EXPECT_TRUE(r.error.startsWith(QStringLiteral("Cannot save ") + path + QStringLiteral(": ")))
      << r.error.toStdString();
  QFile after(path);
  ASSERT_TRUE(after.open(QIODevice::ReadOnly));
  EXPECT_EQ(after.readAll(), previous);
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList({"run.zrv"}))
      << "no temporary file is left behind";

  ASSERT_TRUE(saveDataFile(path, big.engine.document()).ok) << "with room it saves";
  EngineParts check;
  EXPECT_EQ(loadDataFile(path, check.engine.document()).rows, 5000);
}

TEST(Saving, UnwritableAndUnreadablePathsNameTheFileAndTheReason) {
  QTemporaryDir dir;
  const QString notADir = dir.filePath(QStringLiteral("plain"));
  QFile plain(notADir);
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
  plain.close();
  EngineParts p;
  const QString target = notADir + QStringLiteral("/run.zrv");
  const SaveResult s = saveDataFile(target, p.engine.document());
  EXPECT_FALSE(s.ok);
  EXPECT_TRUE(s.error.startsWith(QStringLiteral("Cannot save ") + target + QStringLiteral(": ")))
      << s.error.toStdString();
  const SaveResult c = exportCsv(target, p.engine.document());
  EXPECT_TRUE(c.error.startsWith(QStringLiteral("Cannot write ") + target))
      << c.error.toStdString();

  const QString missing = dir.filePath(QStringLiteral("gone.zrv"));
  const LoadResult l = loadDataFile(missing, p.engine.document());
  EXPECT_EQ(l.status, LoadResult::Status::CannotOpen);
  EXPECT_EQ(l.error, QStringLiteral("Cannot open %1: No such file or directory").arg(missing));
}

}  // namespace
}  // namespace zrvlog
