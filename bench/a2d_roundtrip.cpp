// a2d round trips: how fast ZRVIO reads one A/D conversion through each kind of port.
//
//   build/bin/bench_a2d [--rounds N]
//
// Scenarios: the simulated board in-process ("sim"), and zrvsim on a pseudo-terminal,
// unpaced and paced at 57,600 baud. Each zrvsim scenario also runs a bare client (write,
// poll, read on the raw descriptor) as the floor: the difference is what ZRVIO costs. The paced
// limit is 3 bytes per round trip (command, two reply bytes) at 173.6 us each: 520.8 us, about
// 1,920 round trips per second. Run by hand; the figures depend on the machine and its load.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "board/portmap.h"
#include "board/zrvio.h"
#include "common/automationerror.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int16_t kPort = 200;
constexpr double kWireRoundTripUs = 3 * 10 * 1e6 / 57600;

struct Figures {
  double medianUs = 0;
  double p99Us = 0;
  double perSecond = 0;
};

Figures measure(zrv::ZRVIO& io, int rounds) {
  io.a2dconf(true, false, 0);
  for (int i = 0; i < std::min(rounds / 10, 500); ++i)
    io.a2d(i % 5);  // warm up
  std::vector<double> us;
  us.reserve(static_cast<size_t>(rounds));
  bool failed = false;
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    io.a2d(i % 5);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    failed = failed || io.errflag();
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  if (failed) std::fprintf(stderr, "  (some reads failed: %s)\n", qPrintable(io.lastReadError()));
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100], rounds / total};
}

// The same round trips without the library: raw descriptor, one write, poll and read until
// both reply bytes are in.
Figures measureBare(const QString& device, int rounds) {
  const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY);
  if (fd < 0) return {};
  termios tio{};
  ::tcgetattr(fd, &tio);
  ::cfmakeraw(&tio);
  ::tcsetattr(fd, TCSANOW, &tio);
  const char configure[] = {0x31, static_cast<char>(0xC0)};
  if (::write(fd, configure, 2) != 2) return {};
  std::vector<double> us;
  us.reserve(static_cast<size_t>(rounds));
  const auto start = Clock::now();
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    const char command = static_cast<char>(0x30 + 2 * (i % 5));
    if (::write(fd, &command, 1) != 1) break;
    char reply[2];
    int have = 0;
    while (have < 2) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 1000) <= 0) break;
      const ssize_t n = ::read(fd, reply + have, static_cast<size_t>(2 - have));
      if (n <= 0) break;
      have += static_cast<int>(n);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  const double total = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(fd);
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100], us.size() / total};
}

// Starts zrvsim and returns its device path, or an empty string.
QString startZrvsim(QProcess& sim, const QStringList& args) {
  sim.setProgram(QCoreApplication::applicationDirPath() + "/zrvsim");
  sim.setArguments(args);
  sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  sim.start();
  if (!sim.waitForStarted(5000)) return {};
  while (!sim.canReadLine())
    if (!sim.waitForReadyRead(5000)) return {};
  return QString::fromLocal8Bit(sim.readLine()).trimmed();
}

void report(const char* name, const Figures& f, bool paced) {
  std::printf("%-24s %10.1f %10.1f %12.0f", name, f.medianUs, f.p99Us, f.perSecond);
  if (paced)
    std::printf("   %5.1f%% of the wire limit (%.0f/s)",
                100.0 * f.perSecond * kWireRoundTripUs / 1e6, 1e6 / kWireRoundTripUs);
  std::printf("\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  int rounds = 20000;
  const QStringList args = app.arguments();
  const qsizetype at = args.indexOf("--rounds");
  if (at > 0 && at + 1 < args.size()) rounds = std::max(100, args[at + 1].toInt());

  std::printf("a2d round trips, %d per scenario\n", rounds);
  std::printf("%-24s %10s %10s %12s\n", "scenario", "median us", "p99 us", "per second");
  struct Scenario {
    const char* name;
    bool external;
    QStringList args;
    int rounds;
  } scenarios[] = {
      {"in-process sim", false, {}, rounds},
      {"zrvsim pty, unpaced", true, {}, rounds},
      // Paced round trips take half a millisecond; fewer of them keep the run short.
      {"zrvsim pty, paced", true, {"--pace"}, std::max(100, rounds / 4)},
  };
  int status = 0;
  for (const Scenario& s : scenarios) {
    QProcess sim;
    QString device = zrv::kSimDevice;
    if (s.external) std::printf("%s\n", s.name);
    if (s.external) {
      device = startZrvsim(sim, s.args);
      if (device.isEmpty()) {
        std::fprintf(stderr, "%s: cannot start zrvsim next to this program\n", s.name);
        status = 1;
        continue;
      }
    }
    if (s.external) {
      report("  bare descriptor", measureBare(device, s.rounds), s.args.contains("--pace"));
    }
    zrv::portmap::overrideForProcess(kPort, device);
    try {
      zrv::ZRVIO io;
      io.setCommPort(kPort);
      io.setPortopen(true);
      report(s.external ? "  ZRVIO" : s.name, measure(io, s.rounds), s.args.contains("--pace"));
      io.setPortopen(false);
    } catch (const zrv::AutomationError& e) {
      std::fprintf(stderr, "%s: %s\n", s.name, e.what());
      status = 1;
    }
    if (s.external) {
      sim.terminate();
      sim.waitForFinished(5000);
    }
  }
  return status;
}
