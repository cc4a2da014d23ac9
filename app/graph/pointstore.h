#pragma once
// Point storage for graph elements, built for runs of tens of millions of samples:
//  - values sit in fixed-size chunks, so an append never moves what is stored (no
//    reallocation copy stalls a sampling tick) and reading point i is two index steps;
//  - a full chunk never changes again, so columns can share full chunks;
//  - elements that receive the same X values (the channels of a run all do) share one X
//    column, and an element whose X differs takes its own copy of the shared prefix at
//    that moment (full chunks stay shared, only the partial one is copied).
//  - every chunk keeps the lowest and highest value of each block of 64 and of the whole
//    chunk, so the extremes of a long range (a pixel column of a plot showing millions of
//    points) are found from these instead of from every value.
// A sample of five channels thus costs 8 bytes of X plus 5 x 8 bytes of Y, and 1/32 of
// that for the block extremes.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace zrvlog {

class ChunkedColumn {
 public:
  static constexpr int kChunkBits = 13;
  static constexpr size_t kChunkSize = size_t{1} << kChunkBits;  // 64 KiB of doubles
  static constexpr size_t kChunkMask = kChunkSize - 1;
  static constexpr int kBlockBits = 6;
  static constexpr size_t kBlockSize = size_t{1} << kBlockBits;
  static constexpr size_t kBlockMask = kBlockSize - 1;

  size_t size() const { return m_size; }
  bool empty() const { return m_size == 0; }
  double operator[](size_t i) const { return m_chunks[i >> kChunkBits]->values[i & kChunkMask]; }
  double back() const { return (*this)[m_size - 1]; }
  void push_back(double value);
  void clear();

  /// A column holding the first n values: full chunks are shared, the partial one copied.
  ChunkedColumn prefix(size_t n) const;
  /// The longest prefix whose values never decrease (what a binary search may rely on).
  size_t sortedPrefix() const { return m_sortedPrefix; }
  /// The first index in [from, to) whose value is not less than x, or with past greater
  /// than x (to when none); the values there must be sorted.
  size_t bound(double x, size_t from, size_t to, bool past) const;

  /// Folds the lowest and the highest of the values in [begin, end) into lo and hi, leaving
  /// NaN out. Reads whole blocks and chunks from their extremes: a range of n values costs
  /// at most 2 x 64 values, 2 x 128 blocks and n / 8192 chunks.
  void foldExtremes(size_t begin, size_t end, double& lo, double& hi) const;

  /// Calls f(const double* values, size_t count) for consecutive runs covering [begin, end).
  template <class F>
  void forEachRun(size_t begin, size_t end, F&& f) const {
    while (begin < end) {
      const size_t offset = begin & kChunkMask;
      const size_t count = std::min(kChunkSize - offset, end - begin);
      f(m_chunks[begin >> kChunkBits]->values + offset, count);
      begin += count;
    }
  }

  /// Chunk storage owned (fully or in part) by this column, for memory accounting.
  size_t chunkCount() const { return m_chunks.size(); }
  const void* chunkId(size_t i) const { return m_chunks[i].get(); }
  static constexpr size_t chunkBytes();

  /// The last column that left this one, and where: series that leave at the same place
  /// with the same X join it instead of making copies of their own.
  struct Fork {
    size_t at = 0;
    std::weak_ptr<ChunkedColumn> column;
  };
  Fork& fork() { return m_fork; }

 private:
  struct Chunk {
    static constexpr size_t kBlocks = kChunkSize / kBlockSize;
    double values[kChunkSize];
    // The extremes of the values stored so far, NaN left out (an all-NaN block holds
    // +inf and -inf, which fold as nothing).
    double blockLo[kBlocks], blockHi[kBlocks];
    double lo, hi;
    /// Stores the value at offset and brings the extremes up to date.
    void store(size_t offset, double value);
  };
  std::vector<std::shared_ptr<Chunk>> m_chunks;
  size_t m_size = 0;
  size_t m_sortedPrefix = 0;
  Fork m_fork;
};

constexpr size_t ChunkedColumn::chunkBytes() {
  return sizeof(Chunk);
}

/// Bounds of the points appended so far, kept up to date on every append.
struct Extents {
  double minX = std::numeric_limits<double>::infinity();
  double maxX = -std::numeric_limits<double>::infinity();
  double minY = std::numeric_limits<double>::infinity();
  double maxY = -std::numeric_limits<double>::infinity();
  bool empty() const { return minX > maxX; }
  void add(double x, double y);
  void unite(const Extents& other);
};

/// The points of one element as the model and the view read them, wherever they are kept:
/// in the element's own series, or in the samples of a document (whose channel elements
/// show them without a copy).
class Points {
 public:
  virtual ~Points() = default;
  virtual size_t size() const = 0;
  virtual double x(size_t i) const = 0;
  /// Y of point i; NaN for a sample that has no value there (drawn as nothing).
  virtual double y(size_t i) const = 0;
  /// True when X never decreases over the points.
  virtual bool xSorted() const = 0;
  /// The bounds of the points (NaN values left out).
  virtual Extents extents() const = 0;
  /// With X sorted: the first index in [from, to) whose X is not less than x (lowerBound)
  /// or greater than x (upperBound); to when there is none.
  virtual size_t lowerBound(double x, size_t from, size_t to) const = 0;
  virtual size_t upperBound(double x, size_t from, size_t to) const = 0;
  /// Folds the lowest and the highest Y of the points in [begin, end) into lo and hi,
  /// leaving NaN out, at a cost that grows with the logarithm of the range, not its length.
  virtual void foldExtremes(size_t begin, size_t end, double& lo, double& hi) const = 0;
  /// The extremes of consecutive parts, as a plot wants one pair per pixel column: part i
  /// runs from borders[i] to borders[i + 1] (ascending). A keeper with extremes of blocks may
  /// move the inner borders onto its block grid, by less than a part's width, and write them
  /// back, so that a part costs about one block. A part without a value gets lo = +inf and
  /// hi = -inf.
  virtual void partExtremes(std::vector<size_t>& borders, std::vector<double>& lo,
                            std::vector<double>& hi) const;
};

/// The points of one element: its own Y column and a (possibly shared) X column, of which
/// the element uses the first size() values.
class Series final : public Points {
 public:
  /// A series reading X from column (shared with the other series built from it).
  explicit Series(std::shared_ptr<ChunkedColumn> column = std::make_shared<ChunkedColumn>());

  size_t size() const override { return m_y.size(); }
  double x(size_t i) const override { return (*m_x)[i]; }
  double y(size_t i) const override { return m_y[i]; }
  bool xSorted() const override { return m_x->sortedPrefix() >= size(); }
  Extents extents() const override { return m_extents; }
  size_t lowerBound(double x, size_t from, size_t to) const override;
  size_t upperBound(double x, size_t from, size_t to) const override;
  void foldExtremes(size_t begin, size_t end, double& lo, double& hi) const override {
    m_y.foldExtremes(begin, end, lo, hi);
  }
  void append(double x, double y);

  const ChunkedColumn& xColumn() const { return *m_x; }
  const ChunkedColumn& yColumn() const { return m_y; }
  /// The X column, to hand to a series that should share it.
  const std::shared_ptr<ChunkedColumn>& sharedX() const { return m_x; }

 private:
  std::shared_ptr<ChunkedColumn> m_x;
  ChunkedColumn m_y;
  Extents m_extents;
};

}  // namespace zrvlog
