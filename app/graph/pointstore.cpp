#include "pointstore.h"

#include <algorithm>
#include <cstring>

namespace zrvlog {

void ChunkedColumn::push_back(double value) {
  const size_t offset = m_size & kChunkMask;
  // Fresh chunks are not zeroed: only the values below m_size are ever read.
  if (offset == 0) m_chunks.push_back(std::make_shared_for_overwrite<Chunk>());
  m_chunks.back()->values[offset] = value;
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
    auto partial = std::make_shared_for_overwrite<Chunk>();
    std::memcpy(partial->values, m_chunks[full]->values, rest * sizeof(double));
    copy.m_chunks.push_back(std::move(partial));
  }
  copy.m_size = n;
  copy.m_sortedPrefix = std::min(m_sortedPrefix, n);
  return copy;
}

size_t ChunkedColumn::lowerBound(double x, size_t n) const {
  size_t lo = 0, hi = n;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo) / 2;
    if ((*this)[mid] < x)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
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

Series::Series(std::shared_ptr<ChunkedColumn> column) : m_x(std::move(column)) {}

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
