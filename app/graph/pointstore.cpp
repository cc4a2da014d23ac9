#include "pointstore.h"

#include <algorithm>
#include <limits>

namespace zrvlog {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Folds the lowest and highest of n values into lo and hi (NaN left out). Four independent
// pairs of running extremes keep the processor from waiting on each comparison in turn.
void minMax(const double* v, size_t n, double& lo, double& hi) {
  double l[4] = {lo, lo, lo, lo}, h[4] = {hi, hi, hi, hi};
  size_t k = 0;
  for (; k + 4 <= n; k += 4) {
    for (int j = 0; j < 4; ++j) {
      l[j] = v[k + j] < l[j] ? v[k + j] : l[j];
      h[j] = v[k + j] > h[j] ? v[k + j] : h[j];
    }
  }
  for (; k < n; ++k) {
    l[0] = v[k] < l[0] ? v[k] : l[0];
    h[0] = v[k] > h[0] ? v[k] : h[0];
  }
  lo = std::min(std::min(l[0], l[1]), std::min(l[2], l[3]));
  hi = std::max(std::max(h[0], h[1]), std::max(h[2], h[3]));
}

// Folds the extremes l and h of some values into lo and hi (a value folds as l = h = value).
void fold(double l, double h, double& lo, double& hi) {
  lo = l < lo ? l : lo;
  hi = h > hi ? h : hi;
}

}  // namespace

void ChunkedColumn::Chunk::store(size_t offset, double value) {
  values[offset] = value;
  if (offset == 0) lo = kInf, hi = -kInf;
  const size_t block = offset >> kBlockBits;
  if ((offset & kBlockMask) == 0) blockLo[block] = kInf, blockHi[block] = -kInf;
  fold(value, value, blockLo[block], blockHi[block]);
  fold(value, value, lo, hi);
}

void ChunkedColumn::push_back(double value) {
  const size_t offset = m_size & kChunkMask;
  // Fresh chunks are not zeroed: only the values below m_size, and the extremes of their
  // blocks, are ever read.
  if (offset == 0) m_chunks.push_back(std::make_shared_for_overwrite<Chunk>());
  m_chunks.back()->store(offset, value);
  if (m_sortedPrefix == m_size && (m_size == 0 || value >= back())) ++m_sortedPrefix;
  ++m_size;
}

void ChunkedColumn::clear() {
  m_chunks.clear();
  m_size = 0;
  m_sortedPrefix = 0;
}

ChunkedColumn ChunkedColumn::prefix(size_t n) const {
  ChunkedColumn copy;
  n = std::min(n, m_size);
  const size_t full = n >> kChunkBits;
  copy.m_chunks.assign(m_chunks.begin(), m_chunks.begin() + full);
  if (const size_t rest = n & kChunkMask) {
    // The chunk still being filled must not be shared: both columns would append to it.
    // Its extremes are worked out afresh: the original may hold values past n.
    auto partial = std::make_shared_for_overwrite<Chunk>();
    const Chunk& original = *m_chunks[full];
    for (size_t i = 0; i < rest; ++i)
      partial->store(i, original.values[i]);
    copy.m_chunks.push_back(std::move(partial));
  }
  copy.m_size = n;
  copy.m_sortedPrefix = std::min(m_sortedPrefix, n);
  return copy;
}

void ChunkedColumn::foldExtremes(size_t begin, size_t end, double& lo, double& hi) const {
  const auto values = [&](size_t from, size_t to) {
    forEachRun(from, to, [&](const double* v, size_t n) { minMax(v, n, lo, hi); });
  };
  size_t i = std::min(end, (begin + kBlockMask) & ~kBlockMask);
  values(begin, i);
  while (i + kBlockSize <= end) {
    const Chunk& chunk = *m_chunks[i >> kChunkBits];
    const size_t offset = i & kChunkMask;
    if (offset == 0 && i + kChunkSize <= end) {
      fold(chunk.lo, chunk.hi, lo, hi);
      i += kChunkSize;
    } else {
      const size_t block = offset >> kBlockBits;
      fold(chunk.blockLo[block], chunk.blockHi[block], lo, hi);
      i += kBlockSize;
    }
  }
  values(i, end);
}

size_t ChunkedColumn::bound(double x, size_t from, size_t to, bool past) const {
  while (from < to) {
    const size_t mid = from + (to - from) / 2;
    if ((*this)[mid] < x || (past && (*this)[mid] == x))
      from = mid + 1;
    else
      to = mid;
  }
  return from;
}

void Extents::add(double x, double y) {
  minX = std::min(minX, x);
  maxX = std::max(maxX, x);
  minY = std::min(minY, y);
  maxY = std::max(maxY, y);
}

void Extents::unite(const Extents& other) {
  if (other.empty()) return;
  minX = std::min(minX, other.minX);
  maxX = std::max(maxX, other.maxX);
  minY = std::min(minY, other.minY);
  maxY = std::max(maxY, other.maxY);
}

void Points::partExtremes(std::vector<size_t>& borders, std::vector<double>& lo,
                          std::vector<double>& hi) const {
  const size_t parts = borders.empty() ? 0 : borders.size() - 1;
  lo.assign(parts, kInf);
  hi.assign(parts, -kInf);
  for (size_t i = 0; i < parts; ++i)
    foldExtremes(borders[i], borders[i + 1], lo[i], hi[i]);
}

Series::Series(std::shared_ptr<ChunkedColumn> column) : m_x(std::move(column)) {}

size_t Series::lowerBound(double x, size_t from, size_t to) const {
  return m_x->bound(x, from, to, false);
}

size_t Series::upperBound(double x, size_t from, size_t to) const {
  return m_x->bound(x, from, to, true);
}

void Series::append(double x, double y) {
  const size_t n = size();
  if (m_x->size() > n) {
    // Another series sharing the column got here first: follow it while X agrees.
    if ((*m_x)[n] != x) {
      ChunkedColumn::Fork& fork = m_x->fork();
      auto joined = fork.at == n ? fork.column.lock() : nullptr;
      if (joined && joined->size() > n && (*joined)[n] == x) {
        m_x = std::move(joined);
      } else {
        auto own = std::make_shared<ChunkedColumn>(m_x->prefix(n));
        own->push_back(x);
        fork = {n, own};
        m_x = std::move(own);
      }
    }
  } else {
    m_x->push_back(x);
  }
  m_y.push_back(y);
  m_extents.add(x, y);
}

}  // namespace zrvlog
