// Replot cost of the graph view with 5 elements at 1280 x 720, offscreen:
//   bench_graph_replot [points per element ...]   (default 10000 1000000 10000000)
// Prints the median and worst of 20 replots of the whole range and of a zoomed range, for a
// typical signal (slow sines with a few counts of noise) and for a worst case where noise
// fills 85 pixels of every pixel column.
#include <QApplication>
#include <chrono>
#include <cmath>
#include <cstdio>

#include "app/dialogs/dialogs.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/graphview.h"
#include "bench/stats.h"

using namespace zrvlog;
using zrv::Variant;

namespace {

double measure(GraphView& view, int runs, double* worst) {
  std::vector<double> ms;
  view.replotNow();  // warm-up: label caches, buffers
  for (int i = 0; i < runs; ++i) {
    view.model().setProperty(GraphMember::GridCountX, Variant(int16_t(20 + i % 2)));
    view.replotNow();
    ms.push_back(std::chrono::duration<double, std::milli>(view.lastReplotCost()).count());
  }
  *worst = *std::max_element(ms.begin(), ms.end());
  return zrvbench::percentile(ms, 50);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::vector<long> sizes;
  for (int i = 1; i < argc; ++i)
    sizes.push_back(std::atol(argv[i]));
  if (sizes.empty()) sizes = {10'000, 1'000'000, 10'000'000};

  std::printf("replot, 5 elements, plot widget 1280 x 720 (median / worst of 20)\n");
  for (double noise : {0.05, 0.3})
    for (long n : sizes) {
      WidgetDialogs dialogs;
      GraphModel model;
      for (int e = 1; e < 5; ++e)
        model.newElement();
      for (long i = 0; i < n; ++i) {
        const double x = double(i) / n * 100.0;
        for (int e = 0; e < 5; ++e)
          model.addPoint(x, 2.5 + 2.0 * std::sin(x * (e + 1) * 0.7) + noise * std::sin(i * 0.37),
                         e);
      }
      model.setProperty(GraphMember::RangeXMax, Variant(100.0));
      model.setProperty(GraphMember::RangeYMax, Variant(5.0));
      GraphView view(model, dialogs);
      view.resize(1280, 720);
      view.show();
      QApplication::processEvents();
      double worst = 0;
      const double full = measure(view, 20, &worst);
      std::printf(
          "  noise %.2f V, %9ld points/element, whole range: %7.2f ms median, %7.2f ms worst\n",
          noise, n, full, worst);
      model.setRanges({40.0, 41.0}, {0.0, 5.0});
      const double zoomed = measure(view, 20, &worst);
      std::printf(
          "  noise %.2f V, %9ld points/element, 1%% of range: %7.2f ms median, %7.2f ms worst\n",
          noise, n, zoomed, worst);
    }
  return 0;
}
