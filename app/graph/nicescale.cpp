#include "nicescale.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace zrvlog {

namespace {

// A step of m x 10^e with m = 1, 2 or 5. Multiples are worked out as (k m) x 10^e, dividing
// by the power of ten for negative e, so that 3 x 0.1 comes out as 0.3 and not 0.30000000000000004.
struct Step {
  int mantissa = 1;
  int exponent = 0;

  double times(double k) const {
    const double km = k * mantissa;
    return exponent >= 0 ? km * std::pow(10.0, exponent) : km / std::pow(10.0, -exponent);
  }
  double value() const { return times(1); }
  Step next() const {
    return mantissa == 5 ? Step{1, exponent + 1} : Step{mantissa == 1 ? 2 : 5, exponent};
  }
};

// Beyond this many steps from zero a multiple is no longer a whole number in a double.
constexpr double kMaxMultiple = 1e15;

Step stepAtLeast(double step) {
  Step s{1, int(std::floor(std::log10(step))) - 1};
  while (s.value() < step * (1 - 1e-12))
    s = s.next();
  return s;
}

Step stepBelow(double step) {
  Step s = stepAtLeast(step);
  // One step down: 1 -> 5 of the decade below, 2 -> 1, 5 -> 2.
  s = s.mantissa == 1 ? Step{5, s.exponent - 1} : Step{s.mantissa == 5 ? 2 : 1, s.exponent};
  return s;
}

// The range of n steps s starting at the k-th multiple of s.
AxisRange multiples(const Step& s, double k, int n) {
  return {s.times(k), s.times(k + n)};
}

// range as n steps of a nice size, if it is one.
std::optional<Step> niceStepOf(AxisRange range, int n) {
  const double size = range.size() / n;
  if (!(size > 0) || !std::isfinite(size)) return std::nullopt;
  const Step s = stepAtLeast(size);
  if (std::abs(s.value() - size) > size * 1e-9) return std::nullopt;
  return s;
}

// A range of n steps of s around `at`, `at` staying at fraction `where` of it.
AxisRange placed(const Step& s, double at, double where, int n, bool nonNegative) {
  double k = std::round((at - where * s.times(n)) / s.value());
  if (nonNegative) k = std::max(k, 0.0);
  return multiples(s, k, n);
}

}  // namespace

int usableDivisions(int divisions) {
  return std::clamp(divisions, 1, kMaxDivisions);
}

double niceStepAtLeast(double step) {
  return stepAtLeast(step).value();
}

double niceStepBelow(double step) {
  return stepBelow(step).value();
}

AxisRange niceRange(double lo, double hi, int divisions, Anchor anchor) {
  if (!std::isfinite(lo) || !std::isfinite(hi)) return {lo, hi};
  if (lo > hi) std::swap(lo, hi);
  const bool nonNegative = lo >= 0;
  const int n = usableDivisions(divisions);
  if (!(hi - lo > std::max(std::abs(lo), std::abs(hi)) * 1e-12)) {
    const double d = lo == 0.0 ? 1.0 : std::abs(lo) * 0.1;
    lo = nonNegative ? std::max(0.0, lo - d) : lo - d;
    hi += d;
  }
  for (Step s = stepAtLeast((hi - lo) / n);; s = s.next()) {
    const double size = s.value();
    if (!std::isfinite(size * n)) break;
    const double slack = size * 1e-9;
    // The multiples k of the step whose range [k, k + n] covers [lo, hi].
    double kMax = std::floor((lo + slack) / size);
    double kMin = std::ceil((hi - slack) / size) - n;
    if (std::abs(kMax) > kMaxMultiple || std::abs(kMin) > kMaxMultiple) break;
    if (nonNegative) kMin = std::max(kMin, 0.0);
    if (kMin > kMax) continue;
    double k = kMax;
    if (anchor == Anchor::Centre)
      k = std::clamp(std::round((lo + hi) / 2 / size - n / 2.0), kMin, kMax);
    return multiples(s, k, n);
  }
  return {lo, hi};
}

AxisRange shiftedByWholeSteps(AxisRange range, double shift, int divisions) {
  const int n = usableDivisions(divisions);
  const double size = range.size() / n;
  if (!(size > 0) || !std::isfinite(size) || !std::isfinite(shift)) return range;
  const double k = std::round(shift / size);
  if (k == 0) return range;
  if (const auto s = niceStepOf(range, n)) {
    const double j = std::round(range.lower / size);
    if (std::abs(j) < kMaxMultiple && std::abs(range.lower - s->times(j)) <= size * 1e-9)
      return multiples(*s, j + k, n);
  }
  return {range.lower + k * size, range.upper + k * size};
}

AxisRange zoomedOut(AxisRange range, double at, int divisions) {
  const int n = usableDivisions(divisions);
  const double size = range.size() / n;
  if (!(size > 0) || !std::isfinite(size * 1.5 * n) || !std::isfinite(at)) return range;
  const double where = std::clamp((at - range.lower) / range.size(), 0.0, 1.0);
  return placed(stepAtLeast(size * 1.5), at, where, n, range.lower >= 0);
}

AxisRange zoomedIn(AxisRange range, double at, int divisions) {
  const int n = usableDivisions(divisions);
  const double size = range.size() / n;
  if (!(size > 1e-300) || !std::isfinite(size) || !std::isfinite(at)) return range;
  const double where = std::clamp((at - range.lower) / range.size(), 0.0, 1.0);
  return placed(stepBelow(size), at, where, n, range.lower >= 0);
}

AxisRange logZoomedOut(AxisRange range, double at) {
  return {at * std::pow(range.lower / at, 2.0), at * std::pow(range.upper / at, 2.0)};
}

}  // namespace zrvlog
