#include "app/graph/graphmodel.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "common/automationerror.h"

namespace zrvlog {
namespace {

using zrv::AutomationError;
using zrv::Variant;
using zrv::VarType;

struct Failure {
  int number = 0;
  QString message;
};

Failure failureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return {e.number(), e.message()};
  }
  return {};
}

VarType typeOf(MemberType t) {
  switch (t) {
    case MemberType::Integer:
      return VarType::Integer;
    case MemberType::Long:
      return VarType::Long;
    case MemberType::Boolean:
      return VarType::Boolean;
    case MemberType::Double:
      return VarType::Double;
    default:
      return VarType::String;
  }
}

// A value of the member's type that differs from its default.
Variant otherValue(const MemberInfo& info) {
  switch (info.type) {
    case MemberType::Integer:
      return Variant(int16_t(info.defaultValue.integerValue() + 7));
    case MemberType::Long:
      return Variant(int32_t(info.defaultValue.longValue() ^ 0x123456));
    case MemberType::Boolean:
      return Variant(!info.defaultValue.boolValue());
    case MemberType::Double:
      return Variant(info.defaultValue.doubleValue() - 2.75);
    case MemberType::Text:
      return Variant(QStringLiteral("a \"quoted\", text"));
    case MemberType::Font:
      return Variant(QStringLiteral("DejaVu Serif"));
    case MemberType::Method:
      break;
  }
  return {};
}

// A model with one annotation and one cursor, so that every member has a current item.
struct Populated : GraphModel {
  Populated() {
    newAnnotation();
    newCursor();
  }
};

bool isStored(const MemberInfo& info) {
  return !info.isMethod() && !info.isSelector() && !info.isReadOnly();
}

TEST(GraphMembers, TableIsConsistent) {
  std::set<int> numbers;
  for (const MemberInfo& info : graphMembers()) {
    EXPECT_TRUE(numbers.insert(info.number()).second) << "duplicate number " << info.number();
    EXPECT_EQ(findMember(info.number()), &info);
    if (isStored(info)) {
      EXPECT_EQ(typeOf(info.type), info.defaultValue.type()) << info.name;
      EXPECT_GE(info.slot, 0) << info.name;
    }
    if (info.editor == MemberEditor::Choice) {
      EXPECT_FALSE(info.choices.isEmpty()) << info.name;
    }
  }
  EXPECT_EQ(findMember(999), nullptr);
}

TEST(GraphModel, EveryPropertyStartsAtItsDefaultAndGivesBackWhatWasWritten) {
  Populated model;
  for (const MemberInfo& info : graphMembers()) {
    if (!isStored(info)) continue;
    SCOPED_TRACE(info.name);
    // Elements take their colours and names from the channel palette instead.
    const bool palette = info.member == GraphMember::ElementColor ||
                         info.member == GraphMember::ElementPointColor ||
                         info.member == GraphMember::ElementLabel;
    if (!palette) {
      EXPECT_EQ(model.property(info.number()), info.defaultValue);
    }
    const Variant value = otherValue(info);
    model.setProperty(info.number(), value);
    const Variant back = model.property(info.number());
    EXPECT_EQ(back.type(), typeOf(info.type));
    EXPECT_EQ(back, value);
  }
}

TEST(GraphModel, AssignmentsAreConvertedToTheMembersType) {
  struct Case {
    GraphMember member;
    Variant written;
    Variant read;
  } cases[] = {
      {GraphMember::GridCountX, Variant("5"), Variant(int16_t(5))},
      {GraphMember::GridCountY, Variant(12.5), Variant(int16_t(12))},  // ties to even
      {GraphMember::AxisColor, Variant(int16_t(255)), Variant(int32_t(255))},
      {GraphMember::CursorMode, Variant("3"), Variant(int32_t(3))},
      {GraphMember::LegendOn, Variant(int16_t(0)), Variant(false)},
      {GraphMember::LegendOn, Variant("True"), Variant(true)},
      {GraphMember::RangeXMax, Variant(int32_t(100)), Variant(100.0)},
      {GraphMember::RangeYMin, Variant("-1.5"), Variant(-1.5)},
      {GraphMember::LabelFormatY, Variant(2.5), Variant("2.5")},
      {GraphMember::Caption, Variant(), Variant("")},
      {GraphMember::TickFont, Variant("Courier"), Variant("Courier")},
      {GraphMember::ElementLabel, Variant(int16_t(3)), Variant("3")},
      {GraphMember::AnnoLabelX, Variant("7"), Variant(7.0)},
      {GraphMember::CursorStyle, Variant(int32_t(2)), Variant(int16_t(2))},
  };
  Populated model;
  for (const Case& c : cases) {
    SCOPED_TRACE(memberInfo(c.member).name);
    model.setProperty(c.member, c.written);
    EXPECT_EQ(model.property(c.member), c.read) << describe(model.property(c.member)).toStdString();
  }
}

TEST(GraphModel, ValuesThatDoNotConvertAreRefusedAndLeaveTheOldValue) {
  Populated model;
  for (const MemberInfo& info : graphMembers()) {
    if (!isStored(info) || info.type == MemberType::Text || info.type == MemberType::Font) continue;
    SCOPED_TRACE(info.name);
    const Variant before = model.property(info.number());
    EXPECT_EQ(failureOf([&] { model.setProperty(info.number(), Variant("abc")); }).number, 13);
    EXPECT_EQ(failureOf([&] { model.setProperty(info.number(), Variant::missing()); }).number, 13);
    EXPECT_EQ(model.property(info.number()), before);
  }
  EXPECT_EQ(failureOf([&] { model.setProperty(GraphMember::Caption, Variant::missing()); }).number,
            13);
  // Too large for 16 bits.
  EXPECT_EQ(failureOf([&] {
              model.setProperty(GraphMember::GridCountX, Variant(int32_t(70000)));
            }).number,
            6);
}

TEST(GraphModel, CountsAreReadOnlyAndUnknownNumbersAreReported) {
  GraphModel model;
  for (GraphMember m :
       {GraphMember::AnnotationTotal, GraphMember::ElementTotal, GraphMember::CursorTotal}) {
    const Variant before = model.property(m);
    EXPECT_EQ(failureOf([&] { model.setProperty(m, Variant(int16_t(3))); }).number, 382);
    EXPECT_EQ(model.property(m), before);
  }
  EXPECT_EQ(failureOf([&] { model.property(999); }).number, 438);
  EXPECT_EQ(failureOf([&] { model.setProperty(999, Variant(1.0)); }).number, 438);
  EXPECT_EQ(failureOf([&] { model.invoke(999); }).number, 438);
  EXPECT_EQ(failureOf([&] { model.property(GraphMember::FitRange); }).number, 438);
  // The window's methods are not the model's.
  EXPECT_EQ(failureOf([&] { model.invoke(int(GraphMember::SaveBitmap)); }).number, 438);
  EXPECT_EQ(failureOf([&] {
              model.invoke(int(GraphMember::AddPoint), std::vector<Variant>{1.0});
            }).number,
            450);
}

TEST(GraphModel, IndexErrorsNameTheIndexAndHowManyThereAre) {
  GraphModel model;
  struct Case {
    const char* what;
    std::function<void()> call;
    QString mentions;
  } cases[] = {
      {"ElementIndex", [&] { model.setProperty(GraphMember::ElementIndex, Variant(int16_t(5))); },
       QStringLiteral("ElementIndex 5 is out of range: there are 1 elements (0 to 0)")},
      {"AnnotationIndex",
       [&] { model.setProperty(GraphMember::AnnotationIndex, Variant(int16_t(0))); },
       QStringLiteral("there are 0 annotations")},
      {"annotation setting without annotations",
       [&] { model.setProperty(GraphMember::AnnoLabelText, Variant("x")); },
       QStringLiteral("there are 0 annotations")},
      {"cursor setting without cursors", [&] { model.property(GraphMember::CursorColor); },
       QStringLiteral("there are 0 cursors")},
      {"DropAnnotation", [&] { model.dropAnnotation(0); },
       QStringLiteral("DropAnnotation index 0")},
      {"DropCursor", [&] { model.dropCursor(-1); }, QStringLiteral("DropCursor index -1")},
      {"AddPoint element", [&] { model.addPoint(0, 0, 1); }, QStringLiteral("Element 1")},
      {"PointY element", [&] { model.pointY(0, 3); }, QStringLiteral("Element 3")},
      {"PointY index", [&] { model.pointY(0, 0); },
       QStringLiteral("Point 0 is out of range: there are 0 points in element 0")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Failure f = failureOf(c.call);
    EXPECT_EQ(f.number, 9);
    EXPECT_TRUE(f.message.contains(c.mentions)) << f.message.toStdString();
  }
}

TEST(GraphModel, PointsStayInOrderAndReadBackByIndex) {
  GraphModel model;
  model.newElement();
  for (int i = 0; i < 20000; ++i) {
    model.addPoint(i * 0.5, i * 3.0, 0);
    model.invoke(int(GraphMember::AddPoint),
                 std::vector<Variant>{Variant(i * 0.5), Variant(int32_t(-i)), Variant("1")});
  }
  for (int i : {0, 1, 8191, 8192, 8193, 19999}) {
    EXPECT_EQ(model.pointY(i, 0), i * 3.0);
    EXPECT_EQ(model.invoke(int(GraphMember::PointY),
                           std::vector<Variant>{Variant(int32_t(i)), Variant(int16_t(1))}),
              Variant(double(-i)));
    EXPECT_EQ(model.series(1).x(i), i * 0.5);
  }
  EXPECT_EQ(model.series(0).size(), 20000u);
  EXPECT_EQ(failureOf([&] { model.pointY(20000, 0); }).number, 9);
  EXPECT_EQ(failureOf([&] { model.addPoint(std::nan(""), 1, 0); }).number, 5);
  EXPECT_EQ(model.series(0).size(), 20000u);
}

TEST(GraphModel, ElementsWithTheSameXShareOneColumnUntilOneDiverges) {
  GraphModel model;
  for (int e = 1; e < 5; ++e)
    model.newElement();
  const int samples = 100000;
  for (int i = 0; i < samples; ++i)
    for (int e = 0; e < 5; ++e)
      model.addPoint(i * 0.01, e + i, e);
  for (int e = 1; e < 5; ++e)
    EXPECT_EQ(model.series(e).sharedX().get(), model.series(0).sharedX().get());
  // 8 bytes of X and 5 x 8 of Y per sample with their share of the block extremes, plus at
  // most one partly filled chunk per column.
  const double perValue = double(ChunkedColumn::chunkBytes()) / ChunkedColumn::kChunkSize;
  const double perSample = double(model.pointBytes()) / samples;
  EXPECT_LE(perValue, 8.0 * 1.04);
  EXPECT_LE(perSample, 6 * perValue + 6.0 * ChunkedColumn::chunkBytes() / samples);
  EXPECT_GE(perSample, 6 * perValue);

  // Element 2 receives another X: it takes its own column, keeping its earlier X values.
  model.addPoint(-1.0, 7.0, 2);
  for (int e : {0, 1, 3, 4})
    model.addPoint(samples * 0.01, 1.0, e);
  EXPECT_NE(model.series(2).sharedX().get(), model.series(0).sharedX().get());
  EXPECT_EQ(model.series(3).sharedX().get(), model.series(0).sharedX().get());
  EXPECT_EQ(model.series(2).x(samples), -1.0);
  EXPECT_EQ(model.series(0).x(samples), samples * 0.01);
  for (int i : {0, 8191, 8192, samples - 1}) {
    EXPECT_EQ(model.series(2).x(i), i * 0.01);
    EXPECT_EQ(model.pointY(i, 2), 2.0 + i);
  }
  EXPECT_FALSE(model.series(2).xSorted());
  // The four that left the shared column together share their new one.
  for (int e : {1, 3, 4})
    EXPECT_EQ(model.series(e).sharedX().get(), model.series(0).sharedX().get());
  EXPECT_TRUE(model.series(0).xSorted());
}

TEST(GraphModel, FitRangeHoldsTheShownElementsInRoundSteps) {
  // 10 X and 5 Y divisions: X starts at the grid line at or below the data, Y is centred.
  struct Case {
    const char* name;
    std::vector<std::tuple<double, double, int>> points;
    bool hideElement1;
    GraphModel::Range x, y;
    bool logY = false;
  } cases[] = {
      {"no points leaves the ranges", {}, false, {0, 10}, {0, 10}},
      {"two elements", {{1, 2, 0}, {3, -4, 1}, {2, 8, 0}}, false, {1, 3}, {-10, 15}},
      {"hidden element ignored", {{1, 2, 0}, {3, -4, 1}, {2, 8, 0}}, true, {1, 2}, {0, 10}},
      {"flat at zero", {{0, 0, 0}, {5, 0, 0}}, false, {0, 5}, {0, 1}},
      {"single point", {{10, 4, 0}}, false, {9, 11}, {3.6, 4.6}},
      {"only hidden points", {{3, -4, 1}}, true, {0, 10}, {0, 10}},
      {"a logarithmic axis takes the extents", {{1, 2, 0}, {3, 8, 0}}, false, {1, 3}, {2, 8}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    GraphModel model;
    model.newElement();
    model.setProperty(GraphMember::LogY, Variant(c.logY));
    if (c.hideElement1) model.setValue(GraphMember::ElementShow, 1, Variant(false));
    for (auto [x, y, e] : c.points)
      model.addPoint(x, y, e);
    model.invoke(int(GraphMember::FitRange));
    EXPECT_DOUBLE_EQ(model.property(GraphMember::RangeXMin).doubleValue(), c.x.lower);
    EXPECT_DOUBLE_EQ(model.property(GraphMember::RangeXMax).doubleValue(), c.x.upper);
    EXPECT_DOUBLE_EQ(model.property(GraphMember::RangeYMin).doubleValue(), c.y.lower);
    EXPECT_DOUBLE_EQ(model.property(GraphMember::RangeYMax).doubleValue(), c.y.upper);
  }
}

TEST(GraphModel, ResetElementsLeavesOneEmptyElementAndTheRestAlone) {
  GraphModel model;
  model.newElement();
  model.newElement();
  model.addPoint(1, 1, 2);
  model.newAnnotation();
  model.newCursor();
  model.setProperty(GraphMember::GridCountX, Variant(int16_t(20)));
  model.setProperty(GraphMember::ElementIndex, Variant(int16_t(1)));
  model.setProperty(GraphMember::ElementColor, Variant(int32_t(0x123456)));
  model.invoke(int(GraphMember::ResetElements));
  EXPECT_EQ(model.property(GraphMember::ElementTotal), Variant(int16_t(1)));
  EXPECT_EQ(model.property(GraphMember::ElementIndex), Variant(int16_t(0)));
  EXPECT_EQ(model.series(0).size(), 0u);
  EXPECT_EQ(model.property(GraphMember::ElementColor), Variant(int32_t(0x00FF00)));
  EXPECT_EQ(model.property(GraphMember::GridCountX), Variant(int16_t(20)));
  EXPECT_EQ(model.property(GraphMember::AnnotationTotal), Variant(int16_t(1)));
  EXPECT_EQ(model.property(GraphMember::CursorTotal), Variant(int16_t(1)));
  // New elements take the channel colours in turn and become current.
  model.newElement();
  EXPECT_EQ(model.property(GraphMember::ElementIndex), Variant(int16_t(1)));
  EXPECT_EQ(model.property(GraphMember::ElementColor), Variant(int32_t(0x0000FF)));
}

TEST(GraphModel, AnnotationsAndCursorsAreAddedSelectedAndDropped) {
  GraphModel model;
  EXPECT_EQ(model.property(GraphMember::AnnotationIndex), Variant(int16_t(-1)));
  for (int i = 0; i < 3; ++i) {
    model.invoke(int(GraphMember::NewAnnotation));
    EXPECT_EQ(model.property(GraphMember::AnnotationIndex), Variant(int16_t(i)));
    model.setProperty(GraphMember::AnnoLabelText, Variant(QStringLiteral("a%1").arg(i)));
  }
  model.invoke(int(GraphMember::DropAnnotation), std::vector<Variant>{Variant(int16_t(1))});
  EXPECT_EQ(model.property(GraphMember::AnnotationTotal), Variant(int16_t(2)));
  EXPECT_EQ(model.property(GraphMember::AnnotationIndex), Variant(int16_t(1)));
  EXPECT_EQ(model.property(GraphMember::AnnoLabelText), Variant("a2"));
  model.setProperty(GraphMember::AnnotationIndex, Variant(int16_t(0)));
  EXPECT_EQ(model.property(GraphMember::AnnoLabelText), Variant("a0"));
  model.dropAnnotation(1);
  model.dropAnnotation(0);
  EXPECT_EQ(model.property(GraphMember::AnnotationIndex), Variant(int16_t(-1)));

  // Without a cursor, CursorPosX/Y hold the track position; with one, the cursor's.
  model.setProperty(GraphMember::CursorPosX, Variant(4.5));
  EXPECT_EQ(model.property(GraphMember::CursorPosX), Variant(4.5));
  model.setTrackPosition(1.0, 2.0);
  EXPECT_EQ(model.property(GraphMember::CursorPosY), Variant(2.0));
  model.invoke(int(GraphMember::NewCursor));
  model.invoke(int(GraphMember::NewCursor));
  model.setProperty(GraphMember::CursorPosX, Variant(9.0));
  EXPECT_EQ(model.itemValue(GraphMember::CursorPosX, 1), Variant(9.0));
  EXPECT_EQ(model.itemValue(GraphMember::CursorPosX, 0), Variant(0.0));
  model.invoke(int(GraphMember::DropCursor), std::vector<Variant>{Variant(int16_t(0))});
  EXPECT_EQ(model.property(GraphMember::CursorIndex), Variant(int16_t(0)));
  EXPECT_EQ(model.property(GraphMember::CursorPosX), Variant(9.0));
}

TEST(GraphModel, ChangesAreSignalledOnceUntilTheViewCatchesUp) {
  GraphModel model;
  int notices = 0;
  QObject::connect(&model, &GraphModel::changed, [&] { ++notices; });
  for (int i = 0; i < 1000; ++i)
    model.addPoint(i, i, 0);
  model.setProperty(GraphMember::RangeXMax, Variant(50.0));
  EXPECT_EQ(notices, 1);
  EXPECT_EQ(model.takeChanges(), unsigned(GraphModel::PointsChanged | GraphModel::RangeChanged));
  EXPECT_EQ(model.takeChanges(), 0u);
  // Writing the value a property already has changes nothing.
  model.setProperty(GraphMember::RangeXMax, Variant(50.0));
  EXPECT_EQ(notices, 1);
  model.newCursor();
  EXPECT_EQ(notices, 2);
  EXPECT_EQ(model.takeChanges(), unsigned(GraphModel::ItemsChanged));
}

TEST(GraphModel, NearestPointFindsTheClosestX) {
  GraphModel model;
  for (double x : {0.0, 1.0, 2.0, 4.0})
    model.addPoint(x, x * 10, 0);
  struct Case {
    double x;
    size_t index;
  } cases[] = {{-5, 0}, {0.4, 0}, {0.6, 1}, {2.9, 2}, {3.1, 3}, {99, 3}};
  for (const Case& c : cases)
    EXPECT_EQ(model.nearestPoint(0, c.x), c.index) << c.x;
  model.newElement();
  EXPECT_FALSE(model.nearestPoint(1, 0.0).has_value());
}

}  // namespace
}  // namespace zrvlog
