#pragma once
// Axis ranges that read well. The graph keeps its grid counts (the data file stores them), so
// a range is drawn as N equal divisions from its lower to its upper end. The ranges the user
// reaches by zooming, panning and fitting are chosen so that the step of those divisions is
// 1, 2 or 5 times a power of ten and the range starts on a multiple of it: every grid line
// then falls on a round value. A range that the user types is never passed through here.

#include <optional>

namespace zrvlog {

/// More divisions than this would only paint the plot area grey; the ticks stop here too.
constexpr int kMaxDivisions = 500;

struct AxisRange {
  double lower = 0.0;
  double upper = 0.0;
  double size() const { return upper - lower; }
  bool operator==(const AxisRange&) const = default;
};

/// What the two axes show.
struct ViewRanges {
  AxisRange x, y;
  bool operator==(const ViewRanges&) const = default;
};

/// The grid count as the ticks use it: 1 to kMaxDivisions.
int usableDivisions(int divisions);

/// The smallest 1, 2 or 5 times a power of ten that is not less than step (> 0).
double niceStepAtLeast(double step);
/// The largest 1, 2 or 5 times a power of ten that is less than step (> 0).
double niceStepBelow(double step);

/// Where niceRange puts the data within the divisions.
enum class Anchor {
  Low,     ///< the range starts at the grid line at or below lo (time runs from the left)
  Centre,  ///< [lo, hi] as near the middle as whole steps allow (a zoom rectangle)
};

/// The range of `divisions` equal steps, each 1, 2 or 5 times a power of ten and starting on
/// a multiple of the step, with the smallest step that covers [lo, hi]. A range that starts
/// at or above zero never gets a negative lower end. An empty [lo, hi] is widened first (by
/// 10% of the value, or to 0..1 at zero). Non-finite input comes back as it is.
AxisRange niceRange(double lo, double hi, int divisions, Anchor anchor);

/// range moved by about `shift` axis units: by whole steps of its divisions, so a range on
/// round values stays on round values.
AxisRange shiftedByWholeSteps(AxisRange range, double shift, int divisions);

/// One nice step larger (or smaller) around `at`, which stays at about the same place on the
/// screen; a range that did not reach below zero still does not.
AxisRange zoomedOut(AxisRange range, double at, int divisions);
AxisRange zoomedIn(AxisRange range, double at, int divisions);

/// A logarithmic axis's range (above zero) zoomed out around `at` (> 0): twice the decades,
/// `at` staying where it is on the screen.
AxisRange logZoomedOut(AxisRange range, double at);

}  // namespace zrvlog
