// A plot like the graph view's (1280 x 720, offscreen) drawing the 5 channel elements of a graph
// model that show a sample store's channels, as a document's do:
//   bench_store_replot [--samples N] [--folder DIR]
// (default 50000000 samples; a folder that holds a store is drawn as it is, otherwise the
// samples are appended to a new store there or in a temporary folder removed afterwards).
// Prints the median and worst of 20 replots of the whole range and of 1%, and RssAnon.
#include <qcustomplot.h>
#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "app/documents/channelpoints.h"
#include "app/graph/graphmodel.h"
#include "app/graphview/elementplottable.h"
#include "bench/stats.h"

using namespace zrvlog;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kChannels = 5;

long rssAnonKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("RssAnon:", 0) == 0) return std::atol(line.c_str() + 8);
  return -1;
}

void fill(SampleStore& store, std::size_t samples) {
  std::array<double, kChannels> values{};
  for (std::size_t row = store.rows(); row < samples; ++row) {
    for (int c = 0; c < kChannels; ++c) {
      const double counts = std::round(512 + 400 * std::sin(double(row) * 1e-5 * (c + 1)) +
                                       double((row * 2654435761u >> 7) % 9));
      values[std::size_t(c)] = counts * 4.88758553274682E-03;
    }
    store.stage(double(row) * 0.01, zrv::Variant::date(46000 + double(row) / 8.64e6),
                zrv::Variant(int32_t(0)), values);
    if (row % 4096 == 4095) store.commit();
  }
  store.commit();
}

double measure(QCustomPlot& plot, int runs, double* worst) {
  std::vector<double> ms;
  plot.replot(QCustomPlot::rpImmediateRefresh);  // warm-up
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    plot.replot(QCustomPlot::rpImmediateRefresh);
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  *worst = *std::max_element(ms.begin(), ms.end());
  return zrvbench::percentile(ms, 50);
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::size_t samples = 50'000'000;
  QString folder;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--samples") == 0) samples = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--folder") == 0) folder = QString::fromLocal8Bit(argv[i + 1]);
  }
  QTemporaryDir temporary;
  const bool own = folder.isEmpty();
  if (own) folder = temporary.filePath(QStringLiteral("store"));
  std::unique_ptr<SampleStore> store = QFile::exists(folder + QStringLiteral("/header"))
                                           ? SampleStore::open(folder)
                                           : SampleStore::create(folder, kChannels);
  if (store->rows() < samples) {
    const auto start = Clock::now();
    fill(*store, samples);
    std::printf("appended %zu samples x %d channels in %.1f s\n", samples, kChannels,
                std::chrono::duration<double>(Clock::now() - start).count());
  }
  samples = store->rows();
  std::printf("RssAnon with the store open: %.1f MB\n", double(rssAnonKib()) / 1024);

  QCustomPlot plot;
  plot.resize(1280, 720);
  const QColor colours[kChannels] = {Qt::red, Qt::green, Qt::blue, Qt::magenta, Qt::darkCyan};
  GraphModel model;
  std::vector<ElementPlottable*> plottables;
  for (int c = 0; c < store->channels() && c < kChannels; ++c) {
    if (c > 0) model.newElement();
    model.showSamples(c, std::make_unique<ChannelPoints>(*store, c));
    plottables.push_back(new ElementPlottable(model, c, plot.xAxis, plot.yAxis));
    ElementPlottable::Style style;
    style.line = QPen(colours[c]);
    plottables.back()->setStyle(style);
  }
  // What the columns cost apart from painting them: the shape of every channel.
  const auto shapesMs = [&] {
    const auto start = Clock::now();
    for (ElementPlottable* p : plottables)
      p->shape();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  };
  plot.xAxis->setRange(0, store->key(samples - 1));
  plot.yAxis->setRange(0, 5);
  plot.show();
  QApplication::processEvents();

  double worst = 0;
  const double whole = measure(plot, 20, &worst);
  std::printf(
      "replot, %zu samples x %d channels, whole range: %.2f ms median, %.2f ms worst "
      "(the 5 shapes alone %.2f ms, again %.2f ms)\n",
      samples, kChannels, whole, worst, shapesMs(), shapesMs());
  const double mid = store->key(samples / 2), span = store->key(samples - 1) / 100;
  plot.xAxis->setRange(mid, mid + span);
  const double part = measure(plot, 20, &worst);
  std::printf(
      "replot, 1%% of the range: %.2f ms median, %.2f ms worst (the shapes alone %.2f ms)\n", part,
      worst, shapesMs());
  plot.xAxis->setRange(mid, mid + span / 10000);
  const double points = measure(plot, 20, &worst);
  std::printf(
      "replot, 0.0001%% of the range (the samples themselves): %.2f ms median, %.2f ms "
      "worst\n",
      points, worst);
  for (ElementPlottable* p : plottables)
    p->setVisible(false);
  const double empty = measure(plot, 20, &worst);
  std::printf("replot of the same plot without the channels (axes, grid): %.2f ms median\n", empty);
  std::printf("RssAnon after the replots: %.1f MB\n", double(rssAnonKib()) / 1024);
  if (own) {
    store.reset();
    SampleStore::remove(folder);
  }
  return 0;
}
