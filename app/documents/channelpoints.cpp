#include "channelpoints.h"

#include <algorithm>
#include <cmath>

namespace zrvlog {

Extents ChannelPoints::extents() const {
  const size_t rows = m_store.rows();
  if (m_store.generation() != m_seenGeneration || rows < m_seenRows) {
    m_seen = MinMax();
    m_seenRows = 0;
    m_seenGeneration = m_store.generation();
  }
  if (rows > m_seenRows) {
    m_seen.add(m_store.extremes(m_channel, m_seenRows, rows));
    m_seenRows = rows;
  }
  Extents e;
  // Only values that can be drawn count: an infinite one would stretch a fitted axis to
  // nothing.
  if (m_seen.empty() || !std::isfinite(m_seen.min) || !std::isfinite(m_seen.max)) return e;
  e.add(m_store.key(0), m_seen.min);
  e.add(m_store.key(rows - 1), m_seen.max);
  return e;
}

size_t ChannelPoints::lowerBound(double x, size_t from, size_t to) const {
  if (from >= to) return to;
  return std::clamp(m_store.lowerBound(x, from), from, to);
}

size_t ChannelPoints::upperBound(double x, size_t from, size_t to) const {
  // The first key greater than x is the first at least the next number after it.
  if (std::isnan(x)) return to;
  return lowerBound(std::nextafter(x, std::numeric_limits<double>::infinity()), from, to);
}

void ChannelPoints::foldExtremes(size_t begin, size_t end, double& lo, double& hi) const {
  if (begin >= end) return;
  const MinMax m = m_store.extremes(m_channel, begin, end);
  if (m.empty()) return;
  lo = std::min(lo, m.min);
  hi = std::max(hi, m.max);
}

void ChannelPoints::partExtremes(std::vector<size_t>& borders, std::vector<double>& lo,
                                 std::vector<double>& hi) const {
  const size_t parts = borders.empty() ? 0 : borders.size() - 1;
  std::vector<MinMax> columns(parts);
  if (parts > 0) m_store.summarize(m_channel, borders, columns);
  lo.resize(parts);
  hi.resize(parts);
  for (size_t i = 0; i < parts; ++i) {
    lo[i] = columns[i].empty() ? std::numeric_limits<double>::infinity() : columns[i].min;
    hi[i] = columns[i].empty() ? -std::numeric_limits<double>::infinity() : columns[i].max;
  }
}

}  // namespace zrvlog
