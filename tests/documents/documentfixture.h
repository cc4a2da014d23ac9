#pragma once
// An engine as the window holds one (fake board, manual timer), with helpers to record
// samples and to save and load through memory.

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QLocale>
#include <QString>

#include "app/acquisition/engine.h"
#include "app/documents/datafile.h"
#include "app/graph/graphmodel.h"
#include "app/store/samplestore.h"
#include "app/timer/manualtimer.h"
#include "tests/fakes/fakeboardcontrol.h"
#include "tests/support/localescope.h"

namespace zrvtest {

struct EngineParts {
  EngineParts() : engine(graph, board, timer) { engine.applyStartUpDefaults(); }

  /// Records ticks samples (a run is started when none is going on) and stops.
  void record(int ticks) {
    if (!engine.running()) engine.startRun();
    for (int i = 0; i < ticks; ++i) {
      board.raw[0] = 100 + 7 * i;
      board.raw[1] = 1023 - i;
      timer.fire(engine.GetTimerInt() + (i % 3) - 1);
    }
    engine.stopRun();
  }
  QByteArray save() {
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    lastSave = zrvlog::writeDataFile(buffer, engine.document());
    return buffer.data();
  }
  zrvlog::LoadResult load(const QByteArray& bytes) {
    engine.InitGraph();
    return zrvlog::readDataFile(std::string_view(bytes.constData(), std::size_t(bytes.size())),
                                engine.document());
  }

  zrvlog::GraphModel graph;
  FakeBoardControl board;
  zrvlog::ManualTimer timer;
  zrvlog::AcquisitionEngine engine;
  zrvlog::SaveResult lastSave;
};

inline QByteArray readFixture(const char* name) {
  QFile f(qEnvironmentVariable("ZRV_TEST_DATA") + QLatin1Char('/') + QLatin1String(name));
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

}  // namespace zrvtest
