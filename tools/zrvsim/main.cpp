// zrvsim: serves the simulated ZRV board on a pseudo-terminal.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "ptyserver.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int) {
  g_stop = 1;
}

// A --link path held by a running zrvsim: an abstract socket named after the path's
// absolute form. The kernel frees it when the process ends however it ends, so a link left
// behind by a killed zrvsim is told apart from one that is still served.
class LinkClaim {
 public:
  ~LinkClaim() {
    if (m_fd >= 0) ::close(m_fd);
  }
  /// False when another zrvsim holds the path (errno EADDRINUSE) or on failure.
  bool claim(const QString& absolutePath) {
    m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) return false;
    const QByteArray name =
        "zrvsim-link:" +
        QCryptographicHash::hash(QFile::encodeName(absolutePath), QCryptographicHash::Sha1).toHex();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.constData(), static_cast<size_t>(name.size()));
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return ::bind(m_fd, reinterpret_cast<const sockaddr*>(&address), size) == 0;
  }

 private:
  int m_fd = -1;
};

// The link's path as every zrvsim names it, whatever the working folder or the links on
// the way to it.
QString absoluteLinkPath(const char* link) {
  const QFileInfo info(QString::fromLocal8Bit(link));
  const QString folder = QFileInfo(info.absolutePath()).canonicalFilePath();
  return (folder.isEmpty() ? info.absolutePath() : folder) + u'/' + info.fileName();
}

// What the link points at, or empty when it is no symbolic link.
QByteArray linkTarget(const char* link) {
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target);
  return n > 0 ? QByteArray(target, static_cast<qsizetype>(n)) : QByteArray();
}

// Makes `link` point at `device`: refuses a path that is not a symbolic link, or the link
// of another zrvsim still running; replaces a link left behind by one that ended.
bool makeLink(const char* link, const QByteArray& device, LinkClaim& claim) {
  if (!claim.claim(absoluteLinkPath(link))) {
    if (errno == EADDRINUSE)
      std::fprintf(stderr,
                   "zrvsim: %s is the link of another zrvsim that is still running; stop it or "
                   "choose another path\n",
                   link);
    else
      std::fprintf(stderr, "zrvsim: cannot claim %s: %s\n", link, std::strerror(errno));
    return false;
  }
  struct stat st {};
  if (::lstat(link, &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      std::fprintf(stderr, "zrvsim: %s exists and is not a symbolic link; it is left alone\n",
                   link);
      return false;
    }
    std::fprintf(stderr, "zrvsim: replacing %s (a link to %s that no zrvsim serves)\n", link,
                 linkTarget(link).constData());
    ::unlink(link);
  }
  if (::symlink(device.constData(), link) != 0) {
    std::fprintf(stderr, "zrvsim: cannot link %s: %s\n", link, std::strerror(errno));
    return false;
  }
  return true;
}

const char kUsage[] =
    "Usage: zrvsim [--pace] [--link PATH] [--eeprom FILE] [--boot-clock]\n"
    "  or:  zrvsim --help | --version\n"
    "\n"
    "Serves the simulated ZRV I/O board on a pseudo-terminal, so that programs can open it\n"
    "like a serial port. The first line printed is the device to open (e.g. /dev/pts/4);\n"
    "map a COM number to it in the port map: zrvctl --map 3=/dev/pts/4.\n"
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
    "  --link PATH    also make PATH a symbolic link to the device, removed at exit;\n"
    "                 refused when PATH is the link of another running zrvsim or is not\n"
    "                 a symbolic link\n"
    "  --eeprom FILE  keep the EEPROM in FILE (256 bytes): loaded when it exists, written\n"
    "                 at every change\n"
    "  --boot-clock   the test signals follow the system's monotonic clock (seconds since\n"
    "                 boot) instead of the time since zrvsim started, so that a program\n"
    "                 can check every value it reads against what the board sent then\n"
    "  --help         show this text\n"
    "  --version      show the version of zrvsim\n";

}  // namespace

int main(int argc, char** argv) {
  bool paced = false;
  bool bootClock = false;
  const char* link = nullptr;
  const char* eeprom = nullptr;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--pace") == 0) {
      paced = true;
    } else if (std::strcmp(arg, "--boot-clock") == 0) {
      bootClock = true;
    } else if (std::strcmp(arg, "--link") == 0 && i + 1 < argc) {
      link = argv[++i];
    } else if (std::strcmp(arg, "--eeprom") == 0 && i + 1 < argc) {
      eeprom = argv[++i];
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (std::strcmp(arg, "--version") == 0) {
      std::fputs("zrvsim " ZRV_VERSION "\n", stdout);
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
  server.setBootClock(bootClock);
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
  LinkClaim claim;
  if (link && !makeLink(link, device, claim)) return 1;
  std::printf("%s\n", device.constData());
  std::fflush(stdout);

  const int status = server.serve(paced, g_stop);
  // Someone may have pointed the path elsewhere meanwhile: only our own link goes.
  if (link && linkTarget(link) == device) ::unlink(link);
  return status;
}
