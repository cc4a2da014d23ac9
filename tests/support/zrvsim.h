#pragma once
// zrvsim for end-to-end tests: the simulated board served on a pseudo-terminal, started from
// the build's bin folder (ZRV_BIN_DIR), which prints the terminal's path first.

#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

namespace zrvtest {

/// Starts zrvsim with args in sim and returns the device it serves; empty, with a test
/// failure, when it does not start.
inline QString startZrvsim(QProcess& sim, const QStringList& args = {}) {
  const QString bin = qEnvironmentVariable("ZRV_BIN_DIR");
  if (bin.isEmpty()) {
    ADD_FAILURE() << "ZRV_BIN_DIR is not set";
    return {};
  }
  sim.setProgram(bin + QStringLiteral("/zrvsim"));
  sim.setArguments(args);
  sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  sim.start();
  if (!sim.waitForStarted(5000)) {
    ADD_FAILURE() << "zrvsim did not start: " << sim.errorString().toStdString();
    return {};
  }
  while (!sim.canReadLine()) {
    if (!sim.waitForReadyRead(5000)) {
      ADD_FAILURE() << "zrvsim named no device";
      return {};
    }
  }
  return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

/// Ends a zrvsim started so; harmless when it does not run.
inline void stopZrvsim(QProcess& sim) {
  if (sim.state() == QProcess::NotRunning) return;
  sim.kill();
  sim.waitForFinished(5000);
}

}  // namespace zrvtest
