// A channel element drawn from the sample store: zoomed out, every sample lies on the column
// drawn for its pixels; zoomed in, the samples themselves are joined, and a sample without a
// value is left out (no column where a whole stretch has none).
#include "app/documents/channelpoints.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/elementplottable.h"

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

TEST(ChannelElement, DrawsEverySampleOnItsColumnOrAsAPoint) {
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
  GraphModel model;
  model.showSamples(0, std::make_unique<ChannelPoints>(*store, 0));
  auto* channel = new ElementPlottable(model, 0, plot.xAxis, plot.yAxis);
  plot.yAxis->setRange(-2, 2);
  plot.replot();  // lays the plot out

  struct Case {
    const char* what;
    double lower, upper;
    bool dense;
  };
  const Case cases[] = {
      {"whole range", 0, 2000, true},
      {"1% with the NaN stretch", 45, 75, true},
      {"a few samples", 1000, 1001.5, false},
      {"a few samples with NaN", 19.9, 20.05, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    plot.xAxis->setRange(c.lower, c.upper);
    const ElementPlottable::Shape shape = channel->shape();
    EXPECT_EQ(shape.dense, c.dense);
    const std::size_t first = store->lowerBound(c.lower);
    const std::size_t end = store->lowerBound(std::nextafter(c.upper, 1e300));
    if (c.dense) {
      EXPECT_LE(shape.columns.size(), 640);
      for (std::size_t row = first; row < end; row += 7) {
        const double x = plot.xAxis->coordToPixel(store->key(row));
        const double y = plot.yAxis->coordToPixel(store->value(0, row));
        // A column's border moves by less than a column: the sample may be one pixel over.
        const auto near = [&](const ElementPlottable::Column& col, double pixels) {
          return std::abs(col.px + 0.5 - x) <= pixels;
        };
        const bool covered =
            std::any_of(shape.columns.begin(), shape.columns.end(), [&](const auto& col) {
              return near(col, 1.5) && y >= col.lo - 0.01 && y <= col.hi + 0.01;
            });
        if (std::isnan(valueAt(row))) {
          // Well inside the stretch: no sample with a value within two columns.
          const double margin = 2.0 * double(end - first) / 640.0 + 64;
          const bool inStretch = double(row) > 5000 + margin && double(row) < 7000 - margin;
          if (inStretch) {
            EXPECT_FALSE(std::any_of(shape.columns.begin(), shape.columns.end(),
                                     [&](const auto& col) { return near(col, 0.5); }))
                << "row " << row;
          }
        } else {
          EXPECT_TRUE(covered) << "row " << row;
        }
      }
    } else {
      // The samples with a value, and one neighbour outside on each side.
      QVector<QPointF> expected;
      for (std::size_t row = first - 1; row <= end; ++row) {
        if (!std::isnan(valueAt(row)))
          expected.append(QPointF(plot.xAxis->coordToPixel(store->key(row)),
                                  plot.yAxis->coordToPixel(valueAt(row))));
      }
      EXPECT_EQ(shape.points, expected);
    }
  }
}

}  // namespace
}  // namespace zrvlog
