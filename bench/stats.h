#pragma once
// Small helpers for the hand-run benchmarks: percentiles of a sample, the resident set.

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <vector>

namespace zrvbench {

/// The p-th percentile (0..100) of values, nearest rank.
inline double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t rank = std::min(values.size() - 1, size_t(p / 100.0 * double(values.size())));
  return values[rank];
}

/// This process's resident set in bytes.
inline long residentBytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * sysconf(_SC_PAGESIZE);
}

}  // namespace zrvbench
