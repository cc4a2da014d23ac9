#include "app/graph/pointstore.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace zrvlog {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr size_t kChunk = ChunkedColumn::kChunkSize;
constexpr size_t kBlock = ChunkedColumn::kBlockSize;

// What a scan of every value gives, folded the same way (NaN left out unless it came first).
std::pair<double, double> scanned(const std::vector<double>& v, size_t begin, size_t end, double lo,
                                  double hi) {
  for (size_t i = begin; i < end; ++i) {
    lo = v[i] < lo ? v[i] : lo;
    hi = v[i] > hi ? v[i] : hi;
  }
  return {lo, hi};
}

void expectSame(std::pair<double, double> got, std::pair<double, double> want, const char* what) {
  for (const auto& [g, w] : {std::pair{got.first, want.first}, {got.second, want.second}}) {
    if (std::isnan(w))
      EXPECT_TRUE(std::isnan(g)) << what;
    else
      EXPECT_EQ(g, w) << what;
  }
}

TEST(ChunkedColumn, ExtremesOfARangeAreThoseOfEveryValueInIt) {
  // Three and a half chunks of noise with spikes, infinities and NaN in odd places.
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> v(3 * kChunk + kChunk / 2);
  for (double& x : v)
    x = noise(rng);
  v[5] = 1e9;
  v[kChunk + 3 * kBlock + 1] = -1e9;
  v[2 * kChunk - 1] = kInf;
  v[2 * kChunk] = -kInf;
  for (size_t i = 0; i < kBlock; ++i)
    v[kChunk / 2 + i] = std::nan("");  // one whole block of NaN
  v[3 * kChunk + 7] = std::nan("");
  ChunkedColumn column;
  for (double x : v)
    column.push_back(x);

  const struct {
    const char* name;
    size_t begin, end;
  } cases[] = {
      {"empty", 10, 10},
      {"inside one block", 1, 9},
      {"exactly one block", kBlock, 2 * kBlock},
      {"across a block edge", kBlock - 3, kBlock + 3},
      {"the block of NaN and its neighbours", kChunk / 2 - 1, kChunk / 2 + kBlock + 1},
      {"exactly one chunk", kChunk, 2 * kChunk},
      {"across a chunk edge", 2 * kChunk - 70, 2 * kChunk + 70},
      {"a chunk and pieces", kChunk - 5, 2 * kChunk + 200},
      {"everything", 0, v.size()},
      {"up to the partly filled end", 2 * kChunk + 1, v.size()},
      {"part of the last block", v.size() - 10, v.size()},
  };
  for (const auto& c : cases) {
    double lo = 0.5, hi = 0.5;
    column.foldExtremes(c.begin, c.end, lo, hi);
    expectSame({lo, hi}, scanned(v, c.begin, c.end, 0.5, 0.5), c.name);
  }
  // A range whose first value is NaN: the caller's NaN stays, as a scan leaves it.
  double lo = std::nan(""), hi = std::nan("");
  column.foldExtremes(0, v.size(), lo, hi);
  EXPECT_TRUE(std::isnan(lo) && std::isnan(hi));

  // Many random ranges, against the scan.
  std::uniform_int_distribution<size_t> at(0, v.size());
  for (int k = 0; k < 2000; ++k) {
    size_t a = at(rng), b = at(rng);
    if (a > b) std::swap(a, b);
    double l = v[a < v.size() ? a : 0], h = l;
    column.foldExtremes(a, b, l, h);
    expectSame({l, h}, scanned(v, a, b, v[a < v.size() ? a : 0], v[a < v.size() ? a : 0]),
               "random range");
  }
}

TEST(ChunkedColumn, APrefixKeepsNoExtremesOfTheValuesItLeftOut) {
  ChunkedColumn column;
  for (size_t i = 0; i < kChunk + 100; ++i)
    column.push_back(i == kChunk + 50 ? 1e9 : 1.0);
  // The prefix shares the first chunk and copies 40 values of the second, then goes on.
  ChunkedColumn prefix = column.prefix(kChunk + 40);
  for (int i = 0; i < 100; ++i)
    prefix.push_back(2.0);
  double lo = 1.5, hi = 1.5;
  prefix.foldExtremes(0, prefix.size(), lo, hi);
  EXPECT_EQ(lo, 1.0);
  EXPECT_EQ(hi, 2.0) << "the spike past the prefix is not part of it";
  lo = hi = 1.5;
  column.foldExtremes(0, column.size(), lo, hi);
  EXPECT_EQ(hi, 1e9) << "the original keeps its own";
}

}  // namespace
}  // namespace zrvlog
