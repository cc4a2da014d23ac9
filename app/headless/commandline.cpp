#include "commandline.h"

#include <QApplication>
#include <QCoreApplication>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

#include "app/headless/cli.h"
#include "app/outputs/outputs.h"

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
  // A file-size limit (ulimit -f) shows up as a failed write too, named as such.
  std::signal(SIGXFSZ, SIG_IGN);
  const bool converting = hasArgument(argc, argv, "--convert");
  bool pictures = false;
  for (const OutputFormat& format : pictureFormats())
    pictures |= hasArgument(argc, argv, ("--" + std::string(format.id)).c_str());
  // Only pictures need a GUI application, and they draw offscreen when there is no display.
  // A GUI application takes its own options out of the command line, and --style (the
  // pictures' style here) is one of them: it goes round it.
  std::vector<char*> guiArgv;
  QStringList styleArgs;
  for (int i = 0; i < argc; ++i) {
    const QByteArray arg(argv[i]);
    if (pictures && (arg == "--style" || arg == "-style") && i + 1 < argc) {
      styleArgs << QStringLiteral("--style") << QString::fromLocal8Bit(argv[++i]);
    } else if (pictures && (arg.startsWith("--style=") || arg.startsWith("-style="))) {
      styleArgs << QStringLiteral("--style")
                << QString::fromLocal8Bit(arg.mid(arg.indexOf('=') + 1));
    } else {
      guiArgv.push_back(argv[i]);
    }
  }
  int guiArgc = int(guiArgv.size());
  guiArgv.push_back(nullptr);
  std::unique_ptr<QCoreApplication> app;
  if (pictures) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
      qputenv("QT_QPA_PLATFORM", "offscreen");
    app = std::make_unique<QApplication>(guiArgc, guiArgv.data());
  } else {
    app = std::make_unique<QCoreApplication>(argc, argv);
  }
  QCoreApplication::setOrganizationName(QStringLiteral("ZRVLOG"));
  QCoreApplication::setApplicationName(QStringLiteral("ZRVLOG"));
  const QStringList args = QCoreApplication::arguments() + styleArgs;
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
