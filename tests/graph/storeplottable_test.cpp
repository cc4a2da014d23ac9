// A channel drawn from the sample store: zoomed out, every sample lies on the span drawn for
// its pixel column; zoomed in, the samples themselves are joined, and NaN leaves a gap.
#include "app/graphview/storeplottable.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>

namespace zrvlog {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A sine with noise, a NaN every 1000th sample and a stretch of NaN from 5000 to 7000.
double valueAt(std::size_t row) {
  if (row % 1000 == 999 || (row >= 5000 && row < 7000)) return kNaN;
  return std::sin(double(row) * 1e-3) + double((row * 2654435761u >> 9) % 100) / 500.0;
}

TEST(StorePlottable, DrawsEverySampleOnItsColumnOrAsAPoint) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  constexpr std::size_t kRows = 200000;
  auto store = SampleStore::create(dir.filePath(QStringLiteral("run")), 1,
                                   SampleStore::Options{std::chrono::milliseconds(0)});
  for (std::size_t row = 0; row < kRows; ++row)
    store->stage(double(row) * 0.01, zrv::Variant::date(0), zrv::Variant(0),
                 std::vector<double>{valueAt(row)});
  store->commit();

  QCustomPlot plot;
  plot.resize(640, 400);
  auto* channel = new StorePlottable(*store, 0, plot.xAxis, plot.yAxis);
  plot.yAxis->setRange(-2, 2);
  plot.replot();  // lays the plot out

  struct Case {
    const char* what;
    double lower, upper;
    bool reversed, dense;
  };
  const Case cases[] = {
      {"whole range", 0, 2000, false, true},
      {"whole range, reversed axis", 0, 2000, true, true},
      {"1% with the NaN stretch", 45, 75, false, true},
      {"a few samples", 1000, 1001.5, false, false},
      {"a few samples with NaN", 19.9, 20.05, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plot.xAxis->setRange(c.lower, c.upper);
    plot.xAxis->setRangeReversed(c.reversed);
    const StorePlottable::Shape shape = channel->shape();
    EXPECT_EQ(shape.dense, c.dense);
    const std::size_t first = store->lowerBound(c.lower);
    const std::size_t end = store->lowerBound(c.upper);
    if (c.dense) {
      EXPECT_LE(shape.spans.size(), 640);
      for (std::size_t row = first; row < end; row += 7) {
        const double x = plot.xAxis->coordToPixel(store->key(row));
        const double y = plot.yAxis->coordToPixel(store->value(0, row));
        // A column's border moves by less than a column: the sample may be one pixel over.
        const bool covered = std::any_of(shape.spans.begin(), shape.spans.end(), [&](QLineF s) {
          return std::abs(s.x1() - x) <= 1.5 && y >= s.y1() - 0.01 && y <= s.y2() + 0.01;
        });
        if (std::isnan(valueAt(row))) {
          // Well inside the stretch: no sample with a value within two columns.
          const double margin = 2.0 * double(end - first) / 640.0 + 64;
          const bool inStretch = double(row) > 5000 + margin && double(row) < 7000 - margin;
          if (inStretch) {
            EXPECT_FALSE(std::any_of(shape.spans.begin(), shape.spans.end(),
                                     [&](QLineF s) { return std::abs(s.x1() - x) < 0.5; }))
                << "row " << row;
          }
        } else {
          EXPECT_TRUE(covered) << "row " << row;
        }
      }
    } else {
      // The samples, one neighbour outside on each side, split where a value is NaN.
      std::vector<QPolygonF> expected(1);
      for (std::size_t row = first - 1; row <= end; ++row) {
        if (std::isnan(valueAt(row))) {
          if (!expected.back().isEmpty()) expected.emplace_back();
          continue;
        }
        expected.back().append(QPointF(plot.xAxis->coordToPixel(store->key(row)),
                                       plot.yAxis->coordToPixel(valueAt(row))));
      }
      if (expected.back().isEmpty()) expected.pop_back();
      EXPECT_EQ(shape.lines, expected);
    }
  }
}

}  // namespace
}  // namespace zrvlog
