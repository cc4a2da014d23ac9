// Round ranges for zooming, panning and fitting, the zoom history, and grid labels whose
// precision follows the step.
#include "app/graph/nicescale.h"

#include <gtest/gtest.h>

#include <QSet>
#include <cmath>

#include "app/graph/labelformat.h"
#include "app/graph/zoomhistory.h"

namespace zrvlog {
namespace {

// 1, 2 or 5 times a power of ten, to rounding.
bool isRoundStep(double step) {
  const double mantissa = step / std::pow(10.0, std::floor(std::log10(step) + 1e-9));
  for (double m : {1.0, 2.0, 5.0, 10.0})
    if (std::abs(mantissa - m) < 1e-9) return true;
  return false;
}

// A range of n round steps that starts on a multiple of its step.
::testing::AssertionResult onRoundSteps(AxisRange r, int n) {
  const double step = r.size() / n;
  if (!(step > 0) || !isRoundStep(step))
    return ::testing::AssertionFailure() << "step " << step << " of " << r.lower << ".." << r.upper;
  const double k = r.lower / step;
  if (std::abs(k - std::round(k)) > 1e-6)
    return ::testing::AssertionFailure() << r.lower << " is not a multiple of " << step;
  return ::testing::AssertionSuccess();
}

TEST(NiceScale, StepsAreOneTwoOrFiveTimesAPowerOfTen) {
  const struct {
    double step, atLeast, below;
  } cases[] = {
      {0.048, 0.05, 0.02},
      {0.05, 0.05, 0.02},
      {0.051, 0.1, 0.05},
      {1, 1, 0.5},
      {1.0000001, 2, 1},
      {3, 5, 2},
      {7, 10, 5},
      {3e-7, 5e-7, 2e-7},
      {123456, 200000, 1e5},
      {1e-300, 1e-300, 5e-301},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.step);
    EXPECT_DOUBLE_EQ(niceStepAtLeast(c.step), c.atLeast);
    EXPECT_DOUBLE_EQ(niceStepBelow(c.step), c.below);
  }
}

TEST(NiceScale, RangesCoverTheDataWithTheSmallestRoundStep) {
  const struct {
    const char* name;
    double lo, hi;
    int n;
    Anchor anchor;
    AxisRange expected;
  } cases[] = {
      {"a zoom rectangle", 4.16, 4.9, 10, Anchor::Centre, {4.0, 5.0}},
      {"centred between the grid lines", 2.3, 4.7, 10, Anchor::Centre, {1.0, 6.0}},
      {"from the grid line below", 2.3, 4.7, 10, Anchor::Low, {2.0, 7.0}},
      {"one second of samples", 0, 0.95, 20, Anchor::Low, {0.0, 1.0}},
      {"6 divisions on 0-5 V", 0, 5, 6, Anchor::Centre, {0, 6}},
      {"7 divisions on 0-5 V", 0, 5, 7, Anchor::Centre, {0, 7}},
      {"9 divisions on 0-5 V", 0, 5, 9, Anchor::Centre, {0, 9}},
      {"12 divisions on 0-5 V", 0, 5, 12, Anchor::Centre, {0, 6}},
      {"never below zero from data at zero", 0, 0.6, 10, Anchor::Centre, {0, 1}},
      {"negative values", -7.3, -2.1, 5, Anchor::Centre, {-10, 0}},
      {"reversed input", 5, 0, 10, Anchor::Low, {0, 5}},
      {"a single value", 4, 4, 5, Anchor::Centre, {3.6, 4.6}},
      {"a single value at zero", 0, 0, 10, Anchor::Low, {0, 1}},
      {"grid counts beyond what is drawn", 0, 100, 32767, Anchor::Low, {0, 100}},
      {"tiny values", 1e-9, 3e-9, 10, Anchor::Low, {1e-9, 3e-9}},
      {"large values", 1e6, 1e6 + 1, 10, Anchor::Low, {1e6, 1e6 + 1}},
      {"exact decimals", 0.31, 0.49, 2, Anchor::Centre, {0.3, 0.5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const AxisRange r = niceRange(c.lo, c.hi, c.n, c.anchor);
    EXPECT_DOUBLE_EQ(r.lower, c.expected.lower);
    EXPECT_DOUBLE_EQ(r.upper, c.expected.upper);
    EXPECT_TRUE(onRoundSteps(r, usableDivisions(c.n)));
  }
  // 3 x 0.1 is worked out as 0.3, not 0.30000000000000004: the stored range reads back round.
  EXPECT_EQ(niceRange(0.31, 0.49, 2, Anchor::Centre), (AxisRange{0.3, 0.5}));
  const AxisRange nan = niceRange(std::nan(""), 1, 10, Anchor::Low);
  EXPECT_TRUE(std::isnan(nan.lower));
}

TEST(NiceScale, PanningMovesByWholeStepsAndZoomingByOneRoundStep) {
  const struct {
    const char* name;
    AxisRange from;
    double by;
    int n;
    AxisRange expected;
  } shifts[] = {
      {"three steps", {0, 10}, 3.4, 10, {3, 13}},
      {"less than half a step", {0, 10}, 0.4, 10, {0, 10}},
      {"exact decimals", {0.3, 0.5}, -0.21, 2, {0.1, 0.3}},
      {"a typed range keeps its own steps", {0, 7}, 2.5, 6, {7.0 / 3, 7 + 7.0 / 3}},
  };
  for (const auto& c : shifts) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(shiftedByWholeSteps(c.from, c.by, c.n), c.expected);
  }
  const struct {
    const char* name;
    AxisRange from;
    double at;
    bool in;
    AxisRange expected;
  } zooms[] = {
      {"out from zero stays at zero", {0, 10}, 5, false, {0, 20}},
      {"out around a point", {10, 20}, 15, false, {6, 26}},
      {"out around zero", {-5, 5}, 0, false, {-10, 10}},
      {"out from a typed range", {0, 7}, 3.5, false, {0, 20}},
      {"in around the middle", {0, 20}, 10, true, {5, 15}},
      {"in from 1 to 0.5", {0, 10}, 5, true, {2.5, 7.5}},
  };
  for (const auto& c : zooms) {
    SCOPED_TRACE(c.name);
    const AxisRange r = c.in ? zoomedIn(c.from, c.at, 10) : zoomedOut(c.from, c.at, 10);
    EXPECT_DOUBLE_EQ(r.lower, c.expected.lower);
    EXPECT_DOUBLE_EQ(r.upper, c.expected.upper);
    EXPECT_TRUE(onRoundSteps(r, 10));
  }
}

TEST(ZoomHistory, BackAndForwardLikeABrowser) {
  const ViewRanges all{{0, 100}, {0, 5}}, z1{{20, 40}, {1, 3}}, z2{{25, 30}, {1, 2}},
      z3{{26, 27}, {1, 1.5}}, fit{{0, 50}, {0, 5}}, scrolled{{50, 150}, {0, 5}};
  ZoomHistory h;
  EXPECT_FALSE(h.canGoBack());
  EXPECT_EQ(h.back(all), std::nullopt) << "nothing remembered: nowhere to go";
  h.record(all, z1);
  h.record(z1, z2);
  h.record(z2, z3);
  ViewRanges shown = z3;
  for (const ViewRanges& expected : {z2, z1, all}) {
    shown = h.back(shown).value_or(shown);
    EXPECT_EQ(shown, expected);
  }
  EXPECT_FALSE(h.canGoBack());
  EXPECT_EQ(h.forward(), z1);
  EXPECT_EQ(h.forward(), z2);
  EXPECT_TRUE(h.canGoForward());
  // A new move drops what lay ahead.
  h.record(z2, fit);
  EXPECT_FALSE(h.canGoForward());
  EXPECT_EQ(h.size(), 4u);
  // A run scrolled on after the last move: Back returns to the move, Forward to the scroll.
  EXPECT_EQ(h.back(scrolled), fit);
  EXPECT_EQ(h.forward(), scrolled);
  // A move to where the view already is, is no move.
  h.record(scrolled, scrolled);
  EXPECT_EQ(h.size(), 5u);
  for (int i = 0; i < 300; ++i)
    h.record({{double(i), double(i + 1)}, {0, 1}}, {{double(i + 1), double(i + 2)}, {0, 1}});
  EXPECT_EQ(h.size(), ZoomHistory::kLimit);
  h.clear();
  EXPECT_FALSE(h.canGoBack() || h.canGoForward());
}

TEST(GridLabels, ThePrecisionFollowsTheStep) {
  const struct {
    const char* format;
    double lower, upper, step, value;
    const char* expected;
  } cases[] = {
      {"%.1f", 0, 1, 0.05, 0.15, "0.15"},       // autorange over a second, 20 divisions
      {"%.1f", 0, 100, 5, 35, "35.0"},          // the format's own decimals stay
      {"%g V", 0, 5, 0.5, 1, "1.0 V"},          // one width for all
      {"%g V", 4, 5, 0.1, 4.2, "4.2 V"},        // not 4.20000
      {"%g V", 4, 6, 0.2, 4.2, "4.2 V"},        // 4.2 from 4 + 0.2, no 4.2000000000000002
      {"%g", 0, 12.5, 0.625, 1.25, "1.250"},    // a typed range: its steps exactly
      {"%g", 1.05, 2.05, 0.1, 1.35, "1.35"},    // the first value needs a decimal more
      {"%g", 0, 7, 7.0 / 6, 7.0 / 6, "1.167"},  // not a decimal step: three more decimals
      {"%4.0f", 100, 101, 0.1, 100.3, "100.3"},
      {"%d", 0, 1, 0.25, 0.5, "0.50"},
      {"%d s", 0, 100, 10, 30, "30 s"},
      {"%d", 0, 2e19, 1e19, 1e19, "10000000000000000000"},  // beyond long long: as %.0f
      {"%.2e", 0, 1e6, 1e5, 3e5, "3.00e+05"},
      {"%e", 1000, 1001, 0.1, 1000.3, "1.000300e+03"},
      {"%g", 1e9, 2e9, 1e8, 1.5e9, "1.5e+09"},
      {"%n", 0, 1, 0.5, 0.5, "0.5"},  // an unusable format acts as %g
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const GridLabelFormat format(QString::fromUtf8(c.format), c.lower, c.upper, c.step);
    EXPECT_EQ(format(c.value), QString::fromUtf8(c.expected)) << c.value;
  }
}

TEST(GridLabels, NoTwoLabelsOfARoundRangeLookTheSame) {
  // Ranges as zooming, panning and fitting choose them, in the formats the program uses.
  const struct {
    double lo, hi;
    int n;
  } spans[] = {{4.16, 4.9, 10},   {0, 0.95, 20},     {3.86637, 3.9, 10}, {0.9382, 0.94, 10},
               {4.6, 7.1, 20},    {0, 1, 20},        {1e-4, 3e-4, 10},   {-2.5, 2.5, 10},
               {99.9, 100.2, 20}, {1000, 1000.05, 5}};
  for (const char* f : {"%.1f", "%g V", "%g", "%4.0f", "%d"}) {
    for (const auto& s : spans) {
      const AxisRange r = niceRange(s.lo, s.hi, s.n, Anchor::Centre);
      const double step = r.size() / s.n;
      const GridLabelFormat format(QString::fromUtf8(f), r.lower, r.upper, step);
      QSet<QString> seen;
      for (int k = 0; k <= s.n; ++k) {
        const double value = r.lower + k * step;
        const QString label = format(value);
        EXPECT_FALSE(seen.contains(label)) << f << " " << label.toStdString();
        seen.insert(label);
        // The label names the grid line's value.
        const double shown = QString(label).remove(QStringLiteral(" V")).toDouble();
        EXPECT_NEAR(shown, value, step / 100) << f << " " << label.toStdString();
      }
    }
  }
}

}  // namespace
}  // namespace zrvlog
