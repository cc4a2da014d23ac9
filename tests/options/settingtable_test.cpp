// Every row of the setting table, walked through the three places that read it: the options
// dialog, the data file and, for the rows that have one, the headless recorder's option. Each
// must take the same values and hold them alike.
#include "app/documents/settingtable.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QComboBox>
#include <QCommandLineParser>
#include <QLineEdit>
#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "app/acquisition/engine.h"
#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/headless/cli.h"
#include "app/options/frmoptions.h"
#include "app/timer/manualtimer.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/options/optionsfixture.h"
#include "tests/support/variantprinter.h"

namespace zrvlog {
namespace {

using zrv::Variant;
using zrvtest::OptionsFixture;

struct Edge {
  const char* typed;
  bool accepted;
};

// For each setting: a value away from its default (typed, and as the program then holds
// it) and the edges of its range. The table is the truth the program is held to, written
// down apart from the setting table.
struct Row {
  SettingId id;
  const char* typed;
  Variant held;
  std::vector<Edge> edges;
};

const std::vector<Row>& rows() {
  static const std::vector<Row> table = {
      {SettingId::StopTime,
       "12.5",
       Variant("12.5"),
       {{"", true},
        {"0", false},
        {"0.001", true},
        {"1e9", true},
        {"1000000000.5", false},
        {"-1", false},
        {"  ", false},
        {"soon", false}}},
      {SettingId::TimerFrequency,
       "2000",
       Variant(int32_t{2000}),
       {{"1", true},
        {"0", false},
        {"0.5", false},
        {"2147483647", true},
        {"2147483648", false},
        {"x", false}}},
      {SettingId::Tolerance,
       "2.5",
       Variant("2.5"),
       {{"0", true}, {"-0.1", false}, {"1e300", true}, {"", false}, {"%", false}}},
      {SettingId::Interval,
       "0.25",
       Variant(int32_t{250}),
       {{"0.001", true},
        {"0.0004", false},
        {"0", false},
        {"2147483.647", true},
        {"2147483.648", false},
        {"1e999", false},
        {"fast", false}}},
      // The board repeats a conversion up to 65536 times and AvgCt is 16 bits: 300 is
      // fine, 32768 is not.
      {SettingId::Average,
       "300",
       Variant(int16_t{300}),
       {{"1", true},
        {"0", false},
        {"0.5", false},
        {"1.5", true},
        {"300", true},
        {"32767", true},
        {"32768", false},
        {"nan", false}}},
      {SettingId::Channels,
       "3",
       Variant(int16_t{3}),
       {{"1", true}, {"0.4", false}, {"5", true}, {"5.5", false}, {"6", false}, {"", false}}},
      {SettingId::Reconnect,
       "90",
       Variant(int32_t{90}),
       {{"0", true}, {"-1", false}, {"86400", true}, {"86401", false}, {"1 min", false}}},
      {SettingId::Reference,
       "ch3-ch2",
       Variant(int16_t{8}),
       {{"vdd", true}, {"CH3", true}, {"8", true}, {"2", false}, {"ch9", false}, {"", false}}},
      // A range takes any finite number, kept as typed. The edges are typed one box at a
      // time, in this order, so each stays clear of the pair rule (its own table below).
      {SettingId::MinX,
       "-12.5",
       Variant("-12.5"),
       {{"-1e300", true}, {"1e999", false}, {"", false}, {"abc", false}, {"99.5", true}}},
      {SettingId::MaxX,
       "250",
       Variant("250"),
       {{"1e300", true}, {"inf", false}, {"1,5", false}, {"100", true}}},
      {SettingId::MinY,
       "-2.5",
       Variant("-2.5"),
       {{"-1e300", true}, {"nan", false}, {" ", false}, {"4.99", true}}},
      {SettingId::MaxY, "12.5", Variant("12.5"), {{"5", true}, {"-inf", false}, {"5 V", false}}},
      {SettingId::XSteps,
       "7",
       Variant(int16_t{7}),
       {{"1", true},
        {"0", false},
        {"0.5", false},
        {"0.6", true},
        {"32767", true},
        {"32768", false},
        {"-3", false}}},
      {SettingId::YSteps,
       "4",
       Variant(int16_t{4}),
       {{"1", true}, {"0.4", false}, {"32767", true}, {"1e5", false}, {"four", false}}},
  };
  return table;
}

class SettingTableTest : public OptionsFixture {
 protected:
  // What the headless recorder makes of `--option text`: an exit status, or the engine
  // holding the value.
  static std::optional<int> parseOption(const SettingDescriptor& d, const QString& text,
                                        Variant* held = nullptr) {
    QCommandLineParser p;
    cli::addSettingOptions(p);
    const QString option = QStringLiteral("--%1=%2").arg(QLatin1String(d.option), text);
    EXPECT_TRUE(p.parse({QStringLiteral("zrvlog"), option})) << p.errorText().toStdString();
    cli::SettingValues values;
    if (const auto status = cli::takeSettings(p, values)) return status;
    GraphModel graph;
    zrvtest::FakeBoardControl board;
    ManualTimer timer;
    AcquisitionEngine engine(graph, board, timer);
    engine.applyStartUpDefaults();
    values.applyTo(engine);
    if (held) *held = settingValue(engine, d);
    return std::nullopt;
  }
  static void choose(frmOptions& f, const SettingDescriptor& d, const Variant& code) {
    ASSERT_EQ(d.type, SettingType::Choice);
    f.RefSel->setCurrentIndex(f.RefSel->findData(int(code.toInteger())));
  }
};

TEST_F(SettingTableTest, EverySettingHasARowHereAndFieldsOfItsOwn) {
  GraphModel graph;
  zrvtest::FakeBoardControl board;
  ManualTimer timer;
  AcquisitionEngine fresh(graph, board, timer);
  fresh.applyStartUpDefaults();
  std::set<SettingId> covered;
  for (const Row& r : rows())
    covered.insert(r.id);
  std::set<QString> fields, options, names;
  for (const SettingDescriptor& d : settingTable()) {
    EXPECT_TRUE(covered.count(d.id)) << d.name << " has no row in this test";
    EXPECT_TRUE(fields.insert(QLatin1String(d.field)).second) << d.field;
    EXPECT_TRUE(names.insert(QLatin1String(d.name)).second) << d.name;
    if (d.option) {
      EXPECT_TRUE(options.insert(QLatin1String(d.option)).second) << d.option;
    }
    if (d.fileLine) {
      ASSERT_NE(settingOnFileLine(d.fileLine), nullptr) << d.name;
      EXPECT_EQ(settingOnFileLine(d.fileLine)->fileLine, d.fileLine) << d.name;
    }
    // The default is a value the setting takes, and the one a new document starts with.
    if (d.defaultText) {
      EXPECT_TRUE(checkSetting(d, QString::fromLatin1(d.defaultText)).ok()) << d.name;
      EXPECT_EQ(settingText(d, settingValue(fresh, d)), settingText(d, settingDefault(d)))
          << d.name;
    }
  }
  // The help lists each option with what it takes.
  const QString help = cli::usage();
  for (const SettingDescriptor& d : settingTable())
    if (d.option) {
      EXPECT_TRUE(help.contains(QStringLiteral("--%1 ").arg(QLatin1String(d.option)))) << d.option;
      EXPECT_TRUE(help.simplified().contains(QString::fromLatin1(d.takes))) << d.option;
    }
}

TEST_F(SettingTableTest, DialogAndCommandLineAcceptAndRefuseTheSameEdges) {
  open();
  for (const Row& r : rows()) {
    const SettingDescriptor& d = setting(r.id);
    for (const Edge& e : r.edges) {
      SCOPED_TRACE(std::string(d.name) + " = \"" + e.typed + "\"");
      EXPECT_EQ(checkSetting(d, QString::fromLatin1(e.typed)).ok(), e.accepted);
      if (d.option) {
        const auto status = parseOption(d, QString::fromLatin1(e.typed));
        EXPECT_EQ(status.has_value(), !e.accepted);
        if (status) {
          EXPECT_EQ(*status, cli::kExitUsage);
        }
      }
      if (d.type == SettingType::Choice) continue;  // a list: nothing else can be chosen
      const std::size_t before = dialogs.messages().size();
      scriptOptions([&](frmOptions& f) {
        type(f, d.field, QString::fromLatin1(e.typed));
        click(f.cmdApply);
      });
      if (!e.accepted) dialogs.answerMessage(Answer::Ok);
      showOptions();
      EXPECT_EQ(dialogs.messages().size() - before, e.accepted ? 0u : 1u);
      if (!e.accepted && dialogs.messages().size() > before) {
        EXPECT_TRUE(dialogs.messages().back().contains(QString::fromLatin1(d.takes)))
            << dialogs.messages().back().toStdString();
      }
    }
  }
  // The dialog's list offers exactly the choices the command line takes.
  withOptions([&](frmOptions& f) {
    const SettingDescriptor& d = setting(SettingId::Reference);
    ASSERT_EQ(f.RefSel->count(), qsizetype(d.choices.size()));
    for (int i = 0; i < f.RefSel->count(); ++i)
      EXPECT_TRUE(checkSetting(d, f.RefSel->itemText(i)).ok()) << i;
  });
}

TEST_F(SettingTableTest, EverySettingRoundTripsThroughDialogDataFileAndCommandLine) {
  open();
  AcquisitionEngine& engine = window->engine();
  for (const Row& r : rows()) {
    const SettingDescriptor& d = setting(r.id);
    SCOPED_TRACE(d.name);
    ASSERT_NE(zrv::describe(settingValue(engine, d)), zrv::describe(r.held)) << "not a default";
    // Typed into the dialog and applied...
    withOptions([&](frmOptions& f) {
      if (d.type == SettingType::Choice)
        choose(f, d, r.held);
      else
        type(f, d.field, QString::fromLatin1(r.typed));
      click(f.cmdApply);
    });
    EXPECT_EQ(settingValue(engine, d), r.held);
    // ...shown again as the user typed it...
    withOptions([&](frmOptions& f) {
      if (d.type == SettingType::Choice)
        EXPECT_EQ(f.RefSel->currentData().toInt(), r.held.toInteger());
      else
        EXPECT_EQ(f.field(d.field)->text(), QString::fromLatin1(r.typed));
    });
    // ...kept by the data file when it has a line there...
    if (d.fileLine) {
      QBuffer file;
      file.open(QIODevice::WriteOnly);
      ASSERT_TRUE(writeDataFile(file, engine.document()).ok);
      const QList<QByteArray> lines = file.data().split('\n');
      cli::FileDocument other;
      ASSERT_TRUE(readDataFile(std::string_view(file.data().constData(), file.data().size()),
                               other.document)
                      .ok());
      EXPECT_EQ(settingValue(other.document, d), r.held);
      EXPECT_TRUE(lines.value(d.fileLine - 1).contains(QByteArray(r.typed)) ||
                  lines.value(d.fileLine - 1).trimmed() == QByteArray::number(r.held.toLong()))
          << lines.value(d.fileLine - 1).toStdString();
    }
    // ...and the command line gives the engine the same value.
    if (d.option) {
      Variant held;
      EXPECT_FALSE(parseOption(d, QString::fromLatin1(r.typed), &held));
      EXPECT_EQ(held, r.held);
    }
  }
  EXPECT_TRUE(dialogs.messages().empty());
}

// A range is taken only when its maximum is above its minimum: the dialog refuses the pair
// with its own message, while a data file keeps what it holds (files written with such a
// range load as they always did).
TEST_F(SettingTableTest, ARangeNeedsItsMaximumAboveItsMinimumInTheDialogOnly) {
  struct Case {
    SettingId pair;  // by its minimum
    const char* minimum;
    const char* maximum;
    bool accepted;
  };
  const Case cases[] = {
      {SettingId::MinX, "3", "3", false},    {SettingId::MinX, "3", "3.0000001", true},
      {SettingId::MinX, "-1e1", "-5", true}, {SettingId::MinX, " 1 ", "2", true},
      {SettingId::MinX, "10", "-10", false}, {SettingId::MinY, "2", "1.5", false},
      {SettingId::MinY, "-0", "0", false},   {SettingId::MinY, "-0.0889541", "5", true},
  };
  open();
  ASSERT_EQ(settingPairs().size(), 2u);
  for (const Case& c : cases) {
    const SettingPair& pair =
        *std::find_if(settingPairs().begin(), settingPairs().end(),
                      [&](const SettingPair& p) { return p.minimum == c.pair; });
    const SettingDescriptor& low = setting(pair.minimum);
    const SettingDescriptor& high = setting(pair.maximum);
    SCOPED_TRACE(testing::Message() << low.name << " = '" << c.minimum << "', " << high.name
                                    << " = '" << c.maximum << "'");
    const SettingCheck a = checkSetting(low, QString::fromLatin1(c.minimum));
    const SettingCheck b = checkSetting(high, QString::fromLatin1(c.maximum));
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(pairHolds(a.value, b.value), c.accepted);

    const std::size_t before = dialogs.messages().size();
    scriptOptions([&](frmOptions& f) {
      type(f, low.field, QString::fromLatin1(c.minimum));
      type(f, high.field, QString::fromLatin1(c.maximum));
      click(f.cmdApply);
    });
    if (!c.accepted) dialogs.answerMessage(Answer::Ok);
    showOptions();
    ASSERT_EQ(dialogs.messages().size() - before, c.accepted ? 0u : 1u);
    AcquisitionEngine& engine = window->engine();
    if (!c.accepted) {
      EXPECT_TRUE(dialogs.messages().back().startsWith(QString::fromLatin1(pair.message)));
      continue;
    }
    EXPECT_EQ(settingValue(engine, low), a.value);
    EXPECT_EQ(settingValue(engine, high), b.value);
  }

  // A file whose X range is empty loads with that range, as typed.
  AcquisitionEngine& engine = window->engine();
  setSetting(engine, setting(SettingId::MinX), Variant("3"));
  setSetting(engine, setting(SettingId::MaxX), Variant("3"));
  QBuffer file;
  file.open(QIODevice::WriteOnly);
  ASSERT_TRUE(writeDataFile(file, engine.document()).ok);
  cli::FileDocument other;
  ASSERT_TRUE(
      readDataFile(std::string_view(file.data().constData(), file.data().size()), other.document)
          .ok());
  EXPECT_EQ(settingValue(other.document, setting(SettingId::MinX)), Variant("3"));
  EXPECT_EQ(settingValue(other.document, setting(SettingId::MaxX)), Variant("3"));
  EXPECT_EQ(other.document.graph().property(GraphMember::RangeXMax), Variant(3.0));
}

// The user's defaults keep values as held (ms, reference codes) and go back through the
// typed judge above; what that judge refuses is in the rows above, so these rows are about
// the way from held to typed: units, codes, and numbers beyond the held type.
TEST(SettingTable, StoredDefaultsComeBackThroughTheSameJudge) {
  struct Case {
    SettingId id;
    const char* stored;
    std::optional<Variant> held;
  };
  const Case cases[] = {
      {SettingId::Interval, "250", Variant(int32_t{250})},
      {SettingId::Interval, "0", std::nullopt},
      {SettingId::Interval, "1e12", std::nullopt},
      {SettingId::Average, "300", Variant(int16_t{300})},
      {SettingId::Reference, "8", Variant(int16_t{8})},
      {SettingId::Reference, "5", std::nullopt},  // no reference has that code
      {SettingId::Reference, "70000", std::nullopt},
      {SettingId::StopTime, "", Variant(QString())},
      {SettingId::Reconnect, "0", Variant(int32_t{0})},
      {SettingId::TimerFrequency, "1000", Variant(int32_t{1000})},
  };
  for (const Case& c : cases) {
    const SettingDescriptor& d = setting(c.id);
    SCOPED_TRACE(testing::Message() << d.name << " stored as \"" << c.stored << '"');
    ASSERT_NE(d.storedKey, nullptr);
    EXPECT_EQ(storedSetting(d, QString::fromLatin1(c.stored)), c.held);
  }
}

}  // namespace
}  // namespace zrvlog
