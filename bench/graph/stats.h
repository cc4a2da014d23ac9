#pragma once
// Small helpers for the hand-run benchmarks: percentiles of a sample.

#include <algorithm>
#include <vector>

namespace zrvbench {

/// The p-th percentile (0..100) of values, nearest rank.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
  return values[rank];
}

}  // namespace zrvbench
