// zrvsim: serves the simulated ZRV board on a pseudo-terminal.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "ptyserver.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
  g_stop = 1;
}

const char kUsage[] =
    "Usage: zrvsim [--pace] [--link PATH] [--eeprom FILE]\n"
    "\n"
    "Serves the simulated ZRV I/O board on a pseudo-terminal, so that programs can open it\n"
    "like a serial port. The first line printed is the device to open (e.g. /dev/pts/4);\n"
    "map a COM number to it in ~/.config/Corvane/ZRV.conf ([Ports] COM3=/dev/pts/4).\n"
    "Hosts may close and reopen the device; zrvsim serves until SIGINT or SIGTERM.\n"
    "\n"
    "The board answers the whole command map: status \"3\", A/D conversions of channels 0-4\n"
    "(a sine, a triangle, a ramp, a noisy level, a constant) with the A/D configuration and\n"
    "the repeat count; pins and directions (inputs read square waves: pin p changes level\n"
    "every p+1 ms), the LED, high, low, toggle and inp; count, pulseout, pulsein, pwm, freq\n"
    "and rctime; the counter/timer (1 MHz timer or 10 kHz count input, over the prescaler);\n"
    "a 256-byte EEPROM; the full reset. Durations are in ms, measurements in us.\n"
    "\n"
    "Options:\n"
    "  --pace         take in and send bytes at the wire speed of 57,600 baud 8N1\n"
    "                 (173.6 us per byte), and answer only once the board has spent the\n"
    "                 time a command asks for; without it replies are immediate\n"
    "  --link PATH    also make PATH a symbolic link to the device (removed at exit)\n"
    "  --eeprom FILE  keep the EEPROM in FILE (256 bytes): loaded when it exists, written\n"
    "                 at every change\n"
    "  --help         show this text\n";

}  // namespace

int main(int argc, char** argv) {
  bool paced = false;
  const char* link = nullptr;
  const char* eeprom = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--pace") == 0) {
      paced = true;
    } else if (std::strcmp(arg, "--link") == 0 && i + 1 < argc) {
      link = argv[++i];
    } else if (std::strcmp(arg, "--eeprom") == 0 && i + 1 < argc) {
      eeprom = argv[++i];
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "zrvsim: unknown or incomplete option '%s'\n\n%s", arg, kUsage);
      return 2;
    }
  }

  // SIGINT and SIGTERM reach the server only while it waits, so that a stop is never lost
  // between checking the flag and going to sleep.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  zrvsim::PtyServer server;
  QString error;
  if (eeprom && !server.useEepromFile(QString::fromLocal8Bit(eeprom), &error)) {
    std::fprintf(stderr, "zrvsim: %s\n", qPrintable(error));
    return 1;
  }
  if (!server.create(&error)) {
    std::fprintf(stderr, "zrvsim: cannot create a pseudo-terminal: %s\n", qPrintable(error));
    return 1;
  }
  const QByteArray device = server.devicePath().toLocal8Bit();
  if (link) {
    struct stat st {};
    if (::lstat(link, &st) == 0 && S_ISLNK(st.st_mode)) ::unlink(link);
    if (::symlink(device.constData(), link) != 0) {
      std::fprintf(stderr, "zrvsim: cannot link %s: %s\n", link, std::strerror(errno));
      return 1;
    }
  }
  std::printf("%s\n", device.constData());
  std::fflush(stdout);

  const int status = server.serve(paced, g_stop);
  if (link) ::unlink(link);
  return status;
}
