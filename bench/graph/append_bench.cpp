// Appending points to the graph model: 5 elements x 1,000,000 points (or the count given),
// as a run's ticks do (one X per sample, shared by the five elements).
//   bench_graph_append [samples]
// Prints the time per point for each tenth of the run (it must not grow) and the bytes the
// model holds per five-channel sample.
#include <QCoreApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/graph/graphmodel.h"

using namespace zrvlog;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  const long samples = argc > 1 ? std::atol(argv[1]) : 1'000'000;
  GraphModel model;
  for (int e = 1; e < 5; ++e)
    model.newElement();
  const long block = std::max(1L, samples / 10);
  std::printf("appending 5 x %ld points\n", samples);
  double total = 0;
  for (long start = 0; start < samples; start += block) {
    const auto t0 = Clock::now();
    for (long i = start; i < std::min(samples, start + block); ++i)
      for (int e = 0; e < 5; ++e)
        model.addPoint(i * 0.001, e + (i & 1023) * 0.001, e);
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
    total += ns;
    std::printf("  samples %8ld..%8ld: %6.2f ns per point\n", start,
                std::min(samples, start + block) - 1, ns / (5.0 * block));
    model.takeChanges();
  }
  std::printf("  overall: %.2f ns per point, %.1f ms in all\n", total / (5.0 * samples),
              total / 1e6);
  std::printf("  model memory: %.2f bytes per five-channel sample (%zu bytes)\n",
              double(model.pointBytes()) / samples, model.pointBytes());
  return 0;
}
