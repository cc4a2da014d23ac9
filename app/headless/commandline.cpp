#include "commandline.h"

#include <QApplication>
#include <QCoreApplication>
#include <csignal>
#include <memory>

#include "app/headless/cli.h"

namespace zrvlog {

using namespace cli;

bool isCommandLineMode(int argc, char** argv) {
  return hasArgument(argc, argv, "--headless") || hasArgument(argc, argv, "--convert") ||
         hasArgument(argc, argv, "--recover");
}

int runCommandLine(int argc, char** argv) {
  // A reader that goes away (| head) shows up as a failed write, which each mode handles:
  // progress lines stop, a live CSV ends the run. It must not end the process unwritten.
  std::signal(SIGPIPE, SIG_IGN);
  const bool converting = hasArgument(argc, argv, "--convert");
  const bool pictures =
      converting && (hasArgument(argc, argv, "--bmp") || hasArgument(argc, argv, "--png") ||
                     hasArgument(argc, argv, "--pdf"));
  // Only pictures need a GUI application, and they draw offscreen when there is no display.
  std::unique_ptr<QCoreApplication> app;
  if (pictures) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
    app = std::make_unique<QApplication>(argc, argv);
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QCoreApplication::setOrganizationName(QStringLiteral("ZRVLOG"));
  QCoreApplication::setApplicationName(QStringLiteral("ZRVLOG"));
  const QStringList args = QCoreApplication::arguments();
  if (hasArgument(argc, argv, "--recover")) {
    if (converting || hasArgument(argc, argv, "--headless"))
      return usageError(QStringLiteral("--recover goes on its own"));
    return recover(args);
  }
  if (converting) {
    if (hasArgument(argc, argv, "--headless"))
      return usageError(QStringLiteral("--headless and --convert do not go together"));
    return convert(args);
  }
  return record(args);
}

}  // namespace zrvlog
